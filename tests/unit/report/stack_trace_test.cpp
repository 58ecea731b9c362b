// The stack walker on synthetic stacks: a module whose code holds call instructions at known
// places, and a stack laid out word by word.
#include "report/stack_trace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kBase = 0x00400000;
constexpr uint32_t kCode = 0x00401000;
constexpr uint32_t kStackTop = 0x00130000;

class FakeMemory : public MemoryReader {
 public:
  void Put(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes_[address + i] = bytes[i];
  }
  void PutWord(uint32_t address, uint32_t word) {
    Put(address, {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)});
  }
  bool Read(uint32_t address, void* out, std::size_t size) override {
    auto* to = static_cast<uint8_t*>(out);
    for (std::size_t i = 0; i < size; ++i) {
      auto found = bytes_.find(address + i);
      if (found == bytes_.end()) return false;
      to[i] = found->second;
    }
    return true;
  }

 private:
  std::map<uint32_t, uint8_t> bytes_;
};

class StackWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&capture_, 0, sizeof capture_);
    StackModule& module = capture_.modules[0];
    module.base = kBase;
    module.size = 0x10000;
    std::strcpy(module.name, "game.exe");
    module.codeBegin[0] = kCode;
    module.codeEnd[0] = kCode + 0x1000;
    module.codeRanges = 1;
    capture_.moduleCount = 1;
    // Code: 0x100 bytes of int3, with calls ending at the return addresses below.
    memory_.Put(kCode, std::vector<uint8_t>(0x100, 0xCC));
    memory_.Put(kCallRel - 5, {0xE8, 1, 2, 3, 4});        // call rel32
    memory_.Put(kCallReg - 2, {0xFF, 0xD0});              // call eax
    memory_.Put(kCallMem - 6, {0xFF, 0x15, 1, 2, 3, 4});  // call [abs32]
    memory_.Put(kCallDisp8 - 3, {0xFF, 0x56, 0x08});      // call [esi+8]
    // Stack words, all zero unless set.
    for (uint32_t at = kStackTop - 0x100; at < kStackTop; at += 4) memory_.PutWord(at, 0);
  }

  std::vector<std::string> Walk(uint32_t esp, uint32_t ebp) {
    capture_.registers.eip = kCode + 0x80;
    capture_.registers.esp = esp;
    capture_.registers.ebp = ebp;
    WalkStack(capture_, kStackTop, memory_);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < capture_.frameCount; ++i) {
      const StackFrame& f = capture_.frames[i];
      const char* how = f.method == FrameMethod::kContext        ? "context"
                        : f.method == FrameMethod::kFramePointer ? "fp"
                                                                 : "scan";
      out.push_back(std::to_string(f.address - kCode) + " " + how);
    }
    return out;
  }

  static constexpr uint32_t kCallRel = kCode + 0x10;
  static constexpr uint32_t kCallReg = kCode + 0x20;
  static constexpr uint32_t kCallMem = kCode + 0x30;
  static constexpr uint32_t kCallDisp8 = kCode + 0x40;
  StackCapture capture_;
  FakeMemory memory_;
};

TEST_F(StackWalk, FollowsASoundFramePointerChain) {
  const uint32_t esp = kStackTop - 0x100;
  // Three frames: [ebp] = caller's ebp, [ebp+4] = return address.
  memory_.PutWord(esp + 0x10, esp + 0x40);
  memory_.PutWord(esp + 0x14, kCallRel);
  memory_.PutWord(esp + 0x40, esp + 0x80);
  memory_.PutWord(esp + 0x44, kCallReg);
  memory_.PutWord(esp + 0x80, 0);  // the outermost frame: the chain ends
  memory_.PutWord(esp + 0x84, kCallMem);
  EXPECT_EQ(Walk(esp, esp + 0x10),
            (std::vector<std::string>{"128 context", "16 fp", "32 fp", "48 fp"}));
}

TEST_F(StackWalk, ScansForReturnAddressesWhereTheChainFailsOrSkips) {
  const uint32_t esp = kStackTop - 0x100;
  // Words that point into code but follow no call, and words outside any module, are skipped.
  memory_.PutWord(esp + 0x04, kCallDisp8);    // a callee without a frame pointer, below the chain
  memory_.PutWord(esp + 0x08, kCode + 0x50);  // into code, no call before it
  memory_.PutWord(esp + 0x0C, 0x7FFE0000);    // nowhere
  memory_.PutWord(esp + 0x10, esp + 0x40);    // the frame pointer's frame
  memory_.PutWord(esp + 0x14, kCallRel);
  memory_.PutWord(esp + 0x40, esp + 0x20);  // falls back down: the chain is not sound
  memory_.PutWord(esp + 0x44, kCallReg);
  memory_.PutWord(esp + 0x60, kCallMem);  // above the chain's end
  // Below the sound frame only a direct call to the frame under it would count: the indirect
  // call's return address is dropped there. Above the chain's end the scan takes any call.
  EXPECT_EQ(Walk(esp, esp + 0x10),
            (std::vector<std::string>{"128 context", "16 fp", "32 fp", "48 scan"}));
  // With no frame pointer at all, the scan alone finds every return address in order.
  EXPECT_EQ(Walk(esp, 0),
            (std::vector<std::string>{"128 context", "64 scan", "16 scan", "32 scan", "48 scan"}));
}

// A function without a frame pointer between the fault and a sound frame: its caller's return
// address is kept, because its call goes to the function that faulted; stale return addresses of
// calls to other functions, here or in another module, are not.
TEST_F(StackWalk, BelowASoundFrameKeepsOnlyCallsToTheFrameUnder) {
  StackModule& library = capture_.modules[1];
  library.base = 0x10000000;
  library.size = 0x10000;
  std::strcpy(library.name, "crash.dll");
  library.codeBegin[0] = 0x10001000;
  library.codeEnd[0] = 0x10002000;
  library.codeRanges = 1;
  capture_.moduleCount = 2;
  memory_.Put(0x10001000, std::vector<uint8_t>(0x100, 0xCC));
  auto directCall = [&](uint32_t returnAddress, uint32_t target) {
    const uint32_t offset = target - returnAddress;
    memory_.Put(returnAddress - 5, {0xE8, uint8_t(offset), uint8_t(offset >> 8),
                                    uint8_t(offset >> 16), uint8_t(offset >> 24)});
  };
  const uint32_t faulting = kCode + 0x70;     // the function holding eip (kCode + 0x80)
  const uint32_t caller = kCode + 0xA0;       // calls it
  const uint32_t staleHere = kCode + 0xB0;    // a returned call to a function above eip
  const uint32_t staleThere = 0x10001050;     // a returned call inside another module
  directCall(caller, faulting);
  directCall(staleHere, kCode + 0xE0);
  directCall(staleThere, 0x10001010);
  const uint32_t esp = kStackTop - 0x100;
  memory_.PutWord(esp + 0x04, staleThere);
  memory_.PutWord(esp + 0x08, staleHere);
  memory_.PutWord(esp + 0x0C, caller);
  memory_.PutWord(esp + 0x10, 0);  // the sound frame: the chain ends with it
  memory_.PutWord(esp + 0x14, kCallReg);
  EXPECT_EQ(Walk(esp, esp + 0x10), (std::vector<std::string>{"128 context", "160 scan", "32 fp"}));
}

TEST(StackTraceText, ModulesAndFramesInTheUploadedGrammar) {
  static StackCapture capture;
  std::memset(&capture, 0, sizeof capture);
  capture.exceptionCode = 0xC0000005;
  capture.exceptionAddress = 0x0040155D;
  capture.threadId = 0x124;
  capture.registers.eip = 0x0040155D;
  StackModule& game = capture.modules[0];
  game.base = 0x00400000;
  game.size = 0x21000;
  game.timestamp = 0x656F1A2B;
  std::strcpy(game.name, "my game.exe");
  game.hasCodeView = true;
  const uint8_t guid[16] = {0xE0, 0x04, 0x25, 0x3F, 0x89, 0x4F, 0xD3, 0x11,
                            0x9A, 0x0C, 0x03, 0x05, 0xE8, 0x2C, 0x33, 0x01};
  std::memcpy(game.guid, guid, sizeof guid);
  game.age = 1;
  std::strcpy(game.debugFile, "game\r\n|.pdb");  // bytes that would break the grammar
  capture.moduleCount = 1;
  capture.frames[0] = {0x0040155D, FrameMethod::kContext};
  capture.frames[1] = {0x7B62F0A1, FrameMethod::kScan};
  capture.frameCount = 2;
  char text[1024];
  const std::size_t length = FormatStackTrace(capture, text, sizeof text);
  const std::string got(text, length);
  EXPECT_NE(got.find("exception 0xc0000005 0x0040155d\r\nthread 0x00000124\r\n"),
            std::string::npos);
  EXPECT_NE(got.find("module 0x00400000 0x00021000 0x656f1a2b 3F2504E04F8911D39A0C0305E82C33011 "
                     "my game.exe|game___.pdb\r\n#0 my game.exe+0x155d context\r\n"
                     "#1 0x7b62f0a1 scan\r\n"),
            std::string::npos)
      << got;
  // A buffer too small cuts the text but keeps it terminated.
  EXPECT_EQ(FormatStackTrace(capture, text, 16), 15u);
  EXPECT_EQ(text[15], '\0');
}

}  // namespace
