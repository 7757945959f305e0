#pragma once
// Hashing of records field by field: hashValues(a, b, c) combines the hashes of
// its arguments; optionals, vectors, maps and pairs hash their contents.
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kelvane {

inline void hashCombine(size_t& seed, size_t h) {
  seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
size_t hashOf(const T& value);

template <class T>
struct Hashing {
  static size_t of(const T& value) { return std::hash<T>{}(value); }
};
template <class T>
struct Hashing<std::optional<T>> {
  static size_t of(const std::optional<T>& value) { return value ? hashOf(*value) + 1 : 0; }
};
template <class T>
struct Hashing<std::vector<T>> {
  static size_t of(const std::vector<T>& values) {
    size_t seed = values.size();
    for (const auto& v : values) hashCombine(seed, hashOf(v));
    return seed;
  }
};
template <class A, class B>
struct Hashing<std::pair<A, B>> {
  static size_t of(const std::pair<A, B>& p) {
    size_t seed = hashOf(p.first);
    hashCombine(seed, hashOf(p.second));
    return seed;
  }
};
template <class K, class V, class C>
struct Hashing<std::map<K, V, C>> {
  static size_t of(const std::map<K, V, C>& values) {
    size_t seed = values.size();
    for (const auto& [k, v] : values) {
      hashCombine(seed, hashOf(k));
      hashCombine(seed, hashOf(v));
    }
    return seed;
  }
};

template <class T>
size_t hashOf(const T& value) {
  return Hashing<T>::of(value);
}

template <class... Ts>
size_t hashValues(const Ts&... values) {
  size_t seed = 0;
  (hashCombine(seed, hashOf(values)), ...);
  return seed;
}

}  // namespace kelvane
