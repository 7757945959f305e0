#pragma once
// The support folder as the commands open it, and the settings read from it.
#include <string>

#include "core/config/config.h"
#include "core/store/store.h"

namespace kelvane::cli {

// The folder given with --data, else KELVANE_DATA or the home one.
Store supportFolder(const std::string& given);

// The settings of config.json, read leniently; a first start's when there are none.
Config readConfig(const Store& store, Date now);

}  // namespace kelvane::cli
