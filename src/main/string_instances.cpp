// Linked into the Windows executables only, to keep them small.
//
// std::filesystem::path needs a handful of std::string members that the
// static libstdc++ defines in several archive members. The linker takes each
// from the first member that defines it, and for the narrow string that is
// the string-stream instantiation, which brings std::locale's start-up and
// with it every standard facet (money, time, messages, for char and wchar_t):
// some 170 KiB the helper never calls. Defining the string classes here, in
// an object the linker reads before any archive, settles those names first,
// so no archive member is pulled in for them. Nothing in the program's
// behaviour changes: these are the same library functions, compiled from
// the same headers.
#include <string>

template class std::basic_string<char>;
template class std::basic_string<wchar_t>;
