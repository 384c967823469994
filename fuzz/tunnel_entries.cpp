// The desktop application's lists for the tunnel core: application entries,
// site entries and node addresses, one per line of the input. Each helper
// must hold to what it promises for any text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ipaddr.hpp"
#include "singbox.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> entries;
  while (!all.empty()) {
    const std::size_t lf = all.find('\n');
    entries.emplace_back(all.substr(0, lf));
    all.remove_prefix(lf == std::string_view::npos ? all.size() : lf + 1);
  }

  for (const std::string& e : entries) {
    const std::string name = ombrel::process_name_of(e);
    if (name.find_first_of("/\\") != std::string::npos) std::abort();
    if (ombrel::process_name_of(name) != name) std::abort();

    if (const auto host = ombrel::site_host(e)) {
      if (host->empty() || host->find(' ') != std::string::npos) std::abort();
    }
  }

  const std::vector<std::string> cidrs = ombrel::exclusion_cidrs(entries);
  if (!std::is_sorted(cidrs.begin(), cidrs.end())) std::abort();
  if (std::adjacent_find(cidrs.begin(), cidrs.end()) != cidrs.end()) std::abort();
  for (const std::string& c : cidrs) {
    const std::size_t slash = c.rfind('/');
    if (slash == std::string::npos) std::abort();
    const auto address = ombrel::parse_ip_address(c.substr(0, slash));
    if (!address) std::abort();
    const char* want = std::holds_alternative<ombrel::Ipv4>(*address) ? "/32" : "/128";
    if (c.substr(slash) != want || ombrel::ip_text(*address) != c.substr(0, slash)) std::abort();
  }
  return 0;
}
