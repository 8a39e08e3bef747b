// Private-profile (INI) files with the semantics the service relies on:
// sections and keys found case-blind, the first match wins, writes keep the
// rest of the file, an empty key list empties a section (its header stays).
// Saves are atomic and serialised within the process.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

using ProfileEntries = std::vector<std::pair<std::string, std::string>>;

// The value of `key` in `section`, `fallback` when the file, section or key
// is missing. Surrounding blanks of the value are dropped, as is one pair
// of enclosing double quotes.
std::string get_profile_string(const std::string& section, const std::string& key, const std::string& fallback,
                               const std::string& file);

// Sets `key` in `section` (both created when missing). False when the file
// cannot be written or a name is empty.
bool write_profile_string(const std::string& section, const std::string& key, const std::string& value,
                          const std::string& file);

// Removes one key; removes the whole section when `key` is empty.
bool delete_profile_key(const std::string& section, const std::string& key, const std::string& file);

// Replaces every key of `section` with `entries` (the section is created
// when missing); an empty list leaves the section with no keys.
bool write_profile_section(const std::string& section, const ProfileEntries& entries, const std::string& file);

// The keys of `section` in file order; empty when missing.
ProfileEntries read_profile_section(const std::string& section, const std::string& file);

// The section names in file order.
std::vector<std::string> profile_section_names(const std::string& file);

}   // namespace platform
