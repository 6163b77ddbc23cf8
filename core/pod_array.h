// pod_array: a growable array of plain records for the builders.
//
// Grown with realloc (by half, from 16), so running out of memory is a false
// result rather than an exception; the records must be trivially copyable.
#ifndef FERROWYN_CORE_POD_ARRAY_H_
#define FERROWYN_CORE_POD_ARRAY_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <typename T>
struct pod_array {
  static_assert(std::is_trivially_copyable_v<T>);
  // The size of one record; T may itself be a pointer, and then the
  // pointer's size is the one meant.
  static constexpr uint64_t kItemSize = sizeof(T);  // NOLINT(bugprone-sizeof-expression)
  T* items = nullptr;
  uint64_t count = 0;
  uint64_t cap = 0;

  pod_array() = default;
  pod_array(const pod_array&) = delete;
  pod_array& operator=(const pod_array&) = delete;
  ~pod_array() { free(items); }

  // After a true result of reserve, push, assign or append, items is never
  // null, even for no elements, so that it can be handed to memcpy and
  // friends (which must not get a null pointer, not even for no bytes).
  bool reserve(uint64_t n) {
    if (n <= cap && items != nullptr) return true;
    uint64_t want = cap < 16 ? 16 : cap + cap / 2;
    if (want < n) want = n;
    if (want > UINT64_MAX / kItemSize) return false;
    void* p = realloc(items, want * kItemSize);
    if (p == nullptr) return false;
    items = static_cast<T*>(p);
    cap = want;
    return true;
  }
  bool push(const T& v) {
    if (count == cap && !reserve(count + 1)) return false;
    items[count++] = v;
    return true;
  }
  // n elements, every one a copy of v.
  bool assign(uint64_t n, const T& v) {
    if (!reserve(n)) return false;
    for (uint64_t i = 0; i < n; ++i) items[i] = v;
    count = n;
    return true;
  }
  bool append(const T* src, uint64_t n) {
    if (n == 0) return reserve(count);  // src may be null then
    if (!reserve(count + n)) return false;
    memcpy(items + count, src, n * kItemSize);
    count += n;
    return true;
  }
  void release() {
    free(items);
    items = nullptr;
    count = cap = 0;
  }
  // items is null only while the array was never filled, when every index
  // is out of bounds anyway; the static analyzer cannot see the callers'
  // invariants that keep their indexes in bounds.
  // NOLINTBEGIN(clang-analyzer-core.uninitialized.UndefReturn)
  T& operator[](uint64_t i) { return items[i]; }
  const T& operator[](uint64_t i) const { return items[i]; }
  // NOLINTEND(clang-analyzer-core.uninitialized.UndefReturn)
};

#endif  // FERROWYN_CORE_POD_ARRAY_H_
