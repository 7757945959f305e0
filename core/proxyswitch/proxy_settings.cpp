#include "core/proxyswitch/proxy_settings.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <plist/plist.h>

namespace kelvane::ProxySettings {
namespace {

// Deeper nesting than any real configuration; a guard against crafted files.
constexpr int kMaxDepth = 256;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// An integer stored under `key`, when it is one.
std::optional<int64_t> integerAt(const ServiceConfig& config, const std::string& key) {
  const auto it = config.find(key);
  if (it == config.end()) return std::nullopt;
  if (const auto* i = it->second.get<int64_t>()) return *i;
  return std::nullopt;
}

// Text stored under `key`, when it is text.
const std::string* textAt(const ServiceConfig& config, const std::string& key) {
  const auto it = config.find(key);
  return it == config.end() ? nullptr : it->second.get<std::string>();
}

plist_t toNode(const PlistValue& value, int depth);

plist_t dateNode(const PlistDate& date) {
  if (!std::isfinite(date.seconds)) return nullptr;
  const double whole = std::floor(date.seconds);
  if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max())
    return nullptr;
  const auto usec = int32_t(std::lround((date.seconds - whole) * 1e6));
  return plist_new_date(int32_t(whole), usec);
}

plist_t arrayNode(const PlistArray& array, int depth) {
  PlistPtr node(plist_new_array());
  for (const auto& item : array) {
    plist_t child = toNode(item, depth + 1);
    if (!child) return nullptr;
    plist_array_append_item(node.get(), child);
  }
  return node.release();
}

plist_t dictNode(const PlistDict& dict, int depth) {
  PlistPtr node(plist_new_dict());
  for (const auto& [key, item] : dict) {
    if (key.find('\0') != std::string::npos) return nullptr;  // the C interface would cut it
    plist_t child = toNode(item, depth + 1);
    if (!child) return nullptr;
    plist_dict_set_item(node.get(), key.c_str(), child);
  }
  return node.release();
}

// A new node for `value`, or nullptr when it cannot be written faithfully.
plist_t toNode(const PlistValue& value, int depth) {
  if (depth > kMaxDepth) return nullptr;
  const auto& v = value.value;
  if (const auto* b = std::get_if<bool>(&v)) return plist_new_bool(*b);
  if (const auto* i = std::get_if<int64_t>(&v)) return plist_new_uint(uint64_t(*i));
  if (const auto* d = std::get_if<double>(&v)) return plist_new_real(*d);
  if (const auto* s = std::get_if<std::string>(&v))
    return s->find('\0') == std::string::npos ? plist_new_string(s->c_str()) : nullptr;
  if (const auto* data = std::get_if<PlistData>(&v))
    return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
  if (const auto* date = std::get_if<PlistDate>(&v)) return dateNode(*date);
  if (const auto* uid = std::get_if<PlistUid>(&v)) return plist_new_uid(uid->value);
  if (const auto* array = std::get_if<PlistArray>(&v)) return arrayNode(*array, depth);
  return dictNode(std::get<PlistDict>(v), depth);
}

std::optional<PlistValue> fromNode(plist_t node, int depth);

std::optional<PlistValue> arrayValue(plist_t node, int depth) {
  PlistArray array;
  const uint32_t count = plist_array_get_size(node);
  for (uint32_t i = 0; i < count; ++i) {
    auto item = fromNode(plist_array_get_item(node, i), depth + 1);
    if (!item) return std::nullopt;
    array.push_back(std::move(*item));
  }
  return PlistValue(std::move(array));
}

std::optional<PlistDict> dictValue(plist_t node, int depth) {
  PlistDict dict;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  if (!iter) return std::nullopt;
  std::optional<PlistDict> result;
  for (;;) {
    char* key = nullptr;
    plist_t child = nullptr;
    plist_dict_next_item(node, iter, &key, &child);
    if (!child) {
      result = std::move(dict);
      break;
    }
    std::unique_ptr<char, decltype(&free)> keyOwner(key, &free);
    auto item = fromNode(child, depth + 1);
    if (!key || !item) break;
    dict.emplace(key, std::move(*item));  // on a repeated key the first wins
  }
  free(iter);
  return result;
}

std::optional<PlistValue> scalarValue(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN:
      return PlistValue(plist_bool_val_is_true(node) != 0);
    case PLIST_UINT: {
      uint64_t i = 0;
      plist_get_uint_val(node, &i);
      return PlistValue(int64_t(i));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue(d);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return PlistValue(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const auto* bytes = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &length));
      return PlistValue(bytes ? PlistData(bytes, bytes + length) : PlistData{});
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PlistValue(PlistDate{double(sec) + double(usec) / 1e6});
    }
    case PLIST_UID: {
      uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return PlistValue(PlistUid{uid});
    }
    default:
      return std::nullopt;
  }
}

// The value of `node`, or nullopt for a kind that has no PlistValue.
std::optional<PlistValue> fromNode(plist_t node, int depth) {
  if (!node || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_ARRAY:
      return arrayValue(node, depth);
    case PLIST_DICT: {
      auto dict = dictValue(node, depth);
      if (!dict) return std::nullopt;
      return PlistValue(std::move(*dict));
    }
    default:
      return scalarValue(node);
  }
}

}  // namespace

bool isLoopbackProxy(std::string_view host, int64_t port) {
  return host == kLoopbackHost && port >= kFirstLoopbackPort && port <= kLastLoopbackPort;
}

std::optional<std::vector<uint8_t>> encode(const SettingsSet& settings) {
  PlistPtr root(plist_new_dict());
  for (const auto& [id, config] : settings) {
    if (id.find('\0') != std::string::npos) return std::nullopt;
    plist_t child = dictNode(config, 1);
    if (!child) return std::nullopt;
    plist_dict_set_item(root.get(), id.c_str(), child);
  }
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  if (!bytes || length == 0) return std::nullopt;
  std::vector<uint8_t> out(bytes, bytes + length);
  plist_to_bin_free(bytes);
  return out;
}

std::optional<SettingsSet> decode(const std::vector<uint8_t>& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()), uint32_t(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  auto dict = dictValue(root.get(), 0);
  if (!dict) return std::nullopt;
  SettingsSet settings;
  for (auto& [id, value] : *dict) {
    auto* config = std::get_if<PlistDict>(&value.value);
    if (!config) return std::nullopt;
    settings.emplace(id, std::move(*config));
  }
  return settings;
}

ServiceConfig disablingLoopback(ServiceConfig config) {
  for (const std::string prefix : {"HTTP", "HTTPS"}) {
    const auto* host = textAt(config, prefix + "Proxy");
    const auto port = integerAt(config, prefix + "Port");
    if (host && port && isLoopbackProxy(*host, *port)) config[prefix + "Enable"] = 0;
  }
  return config;
}

ServiceConfig applying(ServiceConfig config, std::string_view host, int64_t port) {
  for (const std::string prefix : {"HTTP", "HTTPS"}) {
    config[prefix + "Enable"] = 1;
    config[prefix + "Proxy"] = std::string(host);
    config[prefix + "Port"] = port;
  }
  PlistArray list;
  for (const char* entry : exceptions) list.emplace_back(entry);
  config["ExceptionsList"] = std::move(list);
  return config;
}

SettingsSet merging(const SettingsSet& saved, const SettingsSet& current) {
  SettingsSet merged = saved;
  for (const auto& [id, config] : current) merged.emplace(id, config);  // keeps saved on a clash
  return merged;
}

SettingsSet restoring(const SettingsSet& saved, const SettingsSet& current) {
  SettingsSet target;
  for (const auto& [id, config] : current) {
    const auto it = saved.find(id);
    target.emplace(id, it != saved.end() ? it->second : disablingLoopback(config));
  }
  return target;
}

bool isOurs(const ServiceConfig& config, std::string_view host, int64_t port) {
  for (const std::string prefix : {"HTTP", "HTTPS"}) {
    const auto* proxy = textAt(config, prefix + "Proxy");
    if (integerAt(config, prefix + "Enable") != 1 || !proxy || *proxy != host ||
        integerAt(config, prefix + "Port") != port)
      return false;
  }
  return true;
}

SettingsSet disablingLoopbackEverywhere(SettingsSet settings) {
  for (auto& [id, config] : settings) config = disablingLoopback(std::move(config));
  return settings;
}

}  // namespace kelvane::ProxySettings
