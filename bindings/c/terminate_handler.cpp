// The DLL's terminate handler, in place of the library's: that one names the exception's
// type through the C++ name demangler, some 70 KiB in every launcher's version folder, to
// write to a console a launcher may not have. No exception leaves a qor_kit_ call, so
// this only ever ends a broken program, with the same abort().

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
