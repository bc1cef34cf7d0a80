// Generated names for the benchmarks: block lists shaped like public ones, and hosts half below a
// listed domain, half unlisted. Deterministic, so runs compare.
#pragma once

#include <cstddef>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace quillnest::bench {

inline std::string randomLabel(std::mt19937_64& rng) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-";
  std::uniform_int_distribution<int> length(5, 16);
  std::uniform_int_distribution<std::size_t> pick(0, 25);
  std::uniform_int_distribution<std::size_t> any(0, sizeof(kAlphabet) - 2);
  std::string label(static_cast<std::size_t>(length(rng)), 'a');
  label.front() = kAlphabet[pick(rng)];
  for (std::size_t i = 1; i < label.size(); ++i) label[i] = kAlphabet[any(rng)];
  return label;
}

// One or two labels under a common top-level domain.
inline std::vector<std::string> makeDomains(std::size_t count) {
  static const char* kTlds[] = {"com", "net", "org", "io", "de", "co.uk", "info", "xyz"};
  std::mt19937_64 rng(count);
  std::vector<std::string> domains;
  domains.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = randomLabel(rng);
    if (rng() % 3 == 0) name = randomLabel(rng) + "." + name;
    domains.push_back(name + "." + kTlds[rng() % std::size(kTlds)]);
  }
  return domains;
}

// Even positions lie below a listed domain ("www." + entry), odd ones are unlisted names with four
// labels.
inline std::vector<std::string> makeHosts(const std::vector<std::string>& domains,
                                          std::size_t count) {
  std::mt19937_64 rng(7);
  std::vector<std::string> hosts;
  hosts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      hosts.push_back("www." + domains[rng() % domains.size()]);
    } else {
      hosts.push_back("cdn." + randomLabel(rng) + "." + randomLabel(rng) + ".com");
    }
  }
  return hosts;
}

}  // namespace quillnest::bench
