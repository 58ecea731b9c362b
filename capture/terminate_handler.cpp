#include <cstdlib>
#include <exception>

// libstdc++'s default terminate handler prints the pending exception's demangled type to stderr
// before it aborts. Defining the handler here keeps libstdc++'s own out of the link, and with it
// the name demangler: about 47 KB of the DLL. A game has no stderr to read, and our code lets no
// exception escape, so std::terminate still ends the process with abort(), only silently.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
