// Third clean-up step: delete the vendor's registry keys and values.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// An entry's text as the table holds it: "ROOT\subkey" (a key) or "ROOT\subkey|valueName" (a value).
using RegistryEntrySpec = std::string_view;

// One entry's text split into the parts the registry calls take.
struct ParsedRegistryEntry {
  platform::RegistryRoot root = platform::RegistryRoot::CurrentUser;
  std::string subkey;
  std::string valueName;  // empty for a key
};

ParsedRegistryEntry ParseRegistryEntrySpec(RegistryEntrySpec entry_text);

// Deletes every entry in table order, one report line each.
void DeleteRegistryEntries();
