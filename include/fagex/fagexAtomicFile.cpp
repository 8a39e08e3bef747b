#include "fagex/fagexAtomicFile.h"

#include "platform/paths.h"

namespace fagex {

bool writeFileAtomically(const std::string& path, const std::string& data, std::string* error, RenameFunction renameFn)
{
    platform::AtomicWriteOptions options;
    // A configuration file is saved where it was loaded from: a missing
    // folder is an error, not something to create silently.
    options.create_folder = false;
    options.error = error;
    options.rename_fn = renameFn;
    return platform::write_file_atomically(path, data, options);
}

}   // namespace fagex
