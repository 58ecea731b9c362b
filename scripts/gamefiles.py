"""The game's side of a crash, shared by scripts/demo and the end-to-end tests: a realistic log.txt
and the shape of the crash summary the DLL appends to it (both GBK)."""
import re

GBK = "gbk"


def gbk(text):
    return text.encode(GBK)


def realistic_log(lines=300):
    levels = ["INFO", "DEBUG", "WARN", "INFO", "ERROR"]
    out = []
    for i in range(lines):
        out.append("[2026-12-08 10:%02d:%02d.%03d] %-5s [%s] %s" % (
            (i // 60) % 60, i % 60, (i * 37) % 1000, levels[i % 5],
            ["net", "render", "audio", "script", "world"][i % 5],
            ["玩家 %d 进入地图 %d" % (1000 + i, i % 7), "frame time %d ms" % (16 + i % 9),
             "load texture tex_%04d.dds" % i, "packet seq=%d len=%d" % (i * 13, 40 + i % 200),
             "任务 %d 完成" % (i % 50)][i % 5]))
    return ("\r\n".join(out) + "\r\n").encode(GBK)


def summary_pattern(program, code, flags="0"):
    """The crash summary the DLL writes for an exception, as a regex on bytes; with flags None,
    the one it writes without an exception record (TestSendDlg)."""
    head = (re.escape(gbk("异常时间：")) + rb"(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\r\n\r\n" +
            re.escape(gbk("程序名称：") + gbk(program) + b"\r\n\r\n"))
    if flags is None:
        return head + re.escape(gbk("未知的错误信息！") + b"\r\n") + rb"\Z"
    return (head + re.escape(gbk("异常编号：") + (b"0x%08x" % code) + b"\r\n") +
            re.escape(gbk("异常地址：")) + rb"0x[0-9a-f]+\r\n" +
            re.escape(gbk("异常分类：") + flags.encode() + b"\r\n") + rb"\Z")
