// The C++ runtime's own error raising, made small.
//
// The containers of the standard library report misuse through the
// functions below. The runtime's versions build std::logic_error and
// friends, which carry a reference-counted string and pull the runtime's
// whole string implementation, twice, into the executable: over half of
// its size. These versions raise the same kind of error (bad_alloc for a
// request too large to satisfy, the platform's Error for misuse) without
// that weight. The program catches them in the same places either way.
#include <new>

#include "platform/Forms.h"

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char* what) { throw ostrada::platform::Error(what); }
void __throw_out_of_range_fmt(const char* what, ...) { throw ostrada::platform::Error(what); }

}  // namespace std

// The default terminate handler prints the demangled name of the
// exception's type to a console that a GUI program does not have, and the
// demangler is a sixth of the executable. Every error is caught at a
// window procedure or in wWinMain, so terminate is never reached.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
