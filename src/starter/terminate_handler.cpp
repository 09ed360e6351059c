// The starter's terminate handler, in place of the library's: that one names the
// exception's type through the C++ name demangler (and mingw's printf behind it),
// some 60 KiB of code that writes to a console a windowless program does not have.
// Defined here, the library's definition is never linked; the end is the same abort().

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
