// Small helpers over TinyXML for the launcher's request documents.
#pragma once

#include <cstddef>
#include <string>

class TiXmlDocument;
class TiXmlElement;

namespace kx2dll {

// The element at a "/"-separated path: the first component stands for the
// root element (its name is not compared), each further one steps to the
// first child element of that name. Null when any step is missing.
TiXmlElement* find_xml_element(TiXmlDocument& document, const std::string& path);

// True when no element of the text nests deeper than `max_depth`. A cheap
// scan run before a recursive parser sees untrusted text.
bool xml_nesting_within(const std::string& text, std::size_t max_depth);

}   // namespace kx2dll
