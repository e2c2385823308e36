// The tool catches no exceptions: a failure inside the C++ library (in practice, memory
// exhaustion while building a list or a string, or a broken container precondition) ends the
// process at once. Replacing the allocation functions and the library's throw and assertion
// helpers here keeps its exception classes, unwinder and name demangler out of the executable;
// with them the C++ runtime was most of the tool's size.
#include <cstddef>
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  std::abort();
}

void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace std {

void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept { std::abort(); }

}  // namespace std
