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
  T* items = nullptr;
  uint64_t count = 0;
  uint64_t cap = 0;

  pod_array() = default;
  pod_array(const pod_array&) = delete;
  pod_array& operator=(const pod_array&) = delete;
  ~pod_array() { free(items); }

  bool reserve(uint64_t n) {
    if (n <= cap) return true;
    uint64_t want = cap < 16 ? 16 : cap + cap / 2;
    if (want < n) want = n;
    if (want > UINT64_MAX / sizeof(T)) return false;
    void* p = realloc(items, want * sizeof(T));
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
    if (n == 0) return true;
    if (!reserve(count + n)) return false;
    memcpy(items + count, src, n * sizeof(T));
    count += n;
    return true;
  }
  void release() {
    free(items);
    items = nullptr;
    count = cap = 0;
  }
  T& operator[](uint64_t i) { return items[i]; }
  const T& operator[](uint64_t i) const { return items[i]; }
};

#endif  // FERROWYN_CORE_POD_ARRAY_H_
