// The service's data folder and the clean-up of expired task files in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kx2dll {

// The common application-data folder + "ZVK", created when missing, ending
// in the path separator; empty when it cannot be found or made.
std::string get_data_folder();

// Whole calendar days from `b` to `a` (seconds since 1970), counted between
// the local midnights of the two days.
std::int64_t days_between(std::int64_t a, std::int64_t b);

// Deletes in `folder` the files "<id>.txt" and "<id>.bbm" (extension in
// any case) of the ids in `ids` that were last written more than ten
// calendar days before `now`; `deleted` is cleared and receives each id whose
// file was deleted (value 1).
void delete_expired_files(const std::string& folder, const std::map<std::int64_t, int>& ids,
                          std::map<std::int64_t, int>& deleted, std::int64_t now);
// The same, with the current time.
void delete_expired_files(const std::string& folder, const std::map<std::int64_t, int>& ids,
                          std::map<std::int64_t, int>& deleted);

}   // namespace kx2dll
