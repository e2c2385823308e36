// Third clean-up step: delete the vendor's registry keys and values.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// One entry of the form ROOT\subkey (a key) or ROOT\subkey|valueName (a value).
struct ParsedRegistryEntry {
  platform::RegistryRoot root = platform::RegistryRoot::CurrentUser;
  std::string subkey;
  std::string valueName;  // empty for a key
};

ParsedRegistryEntry ParseRegistryEntrySpec(std::string_view text);

// Deletes every entry in table order, one report line each.
void DeleteRegistryEntries();
