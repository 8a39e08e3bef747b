#include "service/launcher_request.h"

#include "fagex/fagexStringConverter.h"
#include "service/xml_element.h"

namespace kx2dll {

launcher_request::status launcher_request::parse(const std::string& text)
{
    if (text.empty())
        return status::empty;
    // TinyXML parses recursively: a hostile depth would exhaust the stack.
    if (!xml_nesting_within(text, max_nesting))
        return status::malformed;
    m_document.Clear();
    m_document.Parse(text.c_str());
    if (m_document.Error())
        return status::malformed;
    TiXmlElement* root = find_xml_element(m_document, "p2spcmd");
    if (root == nullptr)
        return status::no_root;
    const char* type = root->Attribute("type");
    if (type == nullptr)
        return status::no_type;
    m_type = type;
    return status::ok;
}

bool launcher_request::read_common(int service_game_id)
{
    std::string version;
    if (!field("version", version))
        return false;
    m_version = fagex::StringConverter::parseInt(version);
    std::string game_id;
    if (!field("gameid", game_id))
        return false;
    if (fagex::StringConverter::parseInt(game_id) == service_game_id)
        return true;
    m_error = "wrong game id '" + game_id + "': this service runs game " + std::to_string(service_game_id);
    return false;
}

bool launcher_request::field(const char* name, std::string& value)
{
    const TiXmlElement* element = find_xml_element(m_document, std::string("p2spcmd/") + name);
    if (element == nullptr) {
        m_error = std::string("missing field '") + name + "'";
        return false;
    }
    const char* text = element->GetText();
    value = text != nullptr ? text : "";
    return true;
}

}   // namespace kx2dll
