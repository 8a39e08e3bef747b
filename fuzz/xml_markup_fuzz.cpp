// Seed and task documents: parse, then walk every element with the cursor
// and read everything each one offers.

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/xml_markup.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CXmlMarkup x;
    if (!x.SetDoc(text)) {
        FUZZ_CHECK(!x.FindElem());
        return 0;
    }
    // Depth-first walk: every step either enters, finds a sibling or leaves,
    // so the walk takes at most three steps per byte.
    size_t depth = 0;
    size_t steps = 0;
    for (;;) {
        FUZZ_CHECK(++steps <= 3 * size + 3);
        if (x.FindElem()) {
            FUZZ_CHECK(!x.GetTagName().empty());
            x.GetData();
            x.GetAttrib("gameid");
            const std::string sub = x.GetSubDoc();
            FUZZ_CHECK(!sub.empty() && sub[0] == '<');
            FUZZ_CHECK(text.find(sub) != std::string::npos);
            if (sub.size() < 4096) {
                // An element cut out on its own is a document of its own.
                CXmlMarkup part;
                FUZZ_CHECK(part.SetDoc(sub));
                FUZZ_CHECK(part.FindElem(x.GetTagName()));
            }
            FUZZ_CHECK(x.IntoElem());
            FUZZ_CHECK(++depth <= CXmlMarkup::kMaxDepth);
        } else if (x.OutOfElem()) {
            --depth;
        } else {
            break;
        }
    }
    FUZZ_CHECK(depth == 0);
    return 0;
}
