// A launcher request document (`p2spcmd`), read by the rules every command
// shares: well-formed, a root with a `type`, "version" and "gameid" fields,
// then the command's own fields, each an element whose text is the value.
#pragma once

#include <string>

#include <tinyxml.h>

namespace kx2dll {

class launcher_request {
public:
    enum class status { ok, empty, malformed, no_root, no_type };

    // Deepest element nesting a request may have.
    static constexpr std::size_t max_nesting = 32;

    // Parses the decoded request and finds its root and `type`.
    status parse(const std::string& text);

    // After a successful parse: "version" and "gameid" are present and the
    // game id is that of the service. False otherwise, with the reason in
    // error().
    bool read_common(int service_game_id);

    // The command field "p2spcmd/<name>": false when the element is missing
    // (the reason in error()); an element without text reads as the empty
    // text.
    bool field(const char* name, std::string& value);

    const std::string& type() const { return m_type; }
    int version() const { return m_version; }
    // Why the last read_common or field refused the request.
    const std::string& error() const { return m_error; }

private:
    TiXmlDocument m_document;
    std::string m_type;
    int m_version = 0;
    std::string m_error;
};

}   // namespace kx2dll
