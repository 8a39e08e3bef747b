// A check of an XML-RPC call body before the XML-RPC library parses it.
// The library finds its tags by plain text search (comments, CDATA and
// quotes hide nothing from it), recurses once per nested value, and on
// many malformed inputs drops what it has parsed without freeing it. So a
// body reaches it only when, read as plain text, it is a call of exactly
// the shape the library reads: nothing to skip, nothing to leave half done.
#pragma once

#include <cstddef>
#include <string>

namespace kx2dll {

enum class xmlrpc_call_markup { well_formed, too_deep, malformed };

// Reads `text` as the library does: every "<" starts a tag, tags carry no
// attributes, each element may hold only what a call has there (text only
// in names and scalar values, optional whitespace between tags), and no
// element nests deeper than `max_depth`.
xmlrpc_call_markup check_xmlrpc_call(const std::string& text, std::size_t max_depth);

}   // namespace kx2dll
