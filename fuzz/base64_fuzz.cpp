// Base64 text from the launcher: decoding any input either fails cleanly or
// round-trips; encoding any bytes decodes back to them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/base64.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string decoded;
    if (base64_decode(input, decoded)) {
        FUZZ_CHECK(decoded.size() <= size / 4 * 3 + 2);
        std::string again;
        FUZZ_CHECK(base64_decode(base64_encode(decoded), again));
        FUZZ_CHECK(again == decoded);
    } else {
        FUZZ_CHECK(decoded.empty());
    }

    const std::string encoded = base64_encode(input);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    std::string back;
    FUZZ_CHECK(base64_decode(encoded, back));
    FUZZ_CHECK(back == input);
    return 0;
}
