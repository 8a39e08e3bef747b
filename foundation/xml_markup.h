#pragma once
// CXmlMarkup: a small XML document with a cursor, for seed and task documents.
//
// The cursor has a parent level and a current element on it. FindElem moves
// forward among the children of the parent level (never backwards),
// IntoElem makes the current element the parent level, OutOfElem goes back
// up. The document is parsed whole by SetDoc; nothing is recursive, depth
// and size are bounded, so hostile input cannot exhaust the stack.
//
// Accepted: one root element, attributes quoted with ' or ", text, comments,
// processing instructions (the <?xml ...?> declaration), CDATA sections, the
// five predefined entities and numeric character references. A "&" that
// does not start one of those references is kept as a literal "&" (servers
// that forget to escape it in file names still produce a usable document).
// Refused: DOCTYPE declarations, mismatched or unclosed tags, a second root,
// text outside the root, bad names, duplicate attributes, NUL bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CXmlMarkup {
public:
    // Deepest element nesting accepted.
    static constexpr size_t kMaxDepth = 256;
    // Largest document accepted, in bytes.
    static constexpr size_t kMaxDocSize = 64u * 1024u * 1024u;
    // Most attributes one element may carry.
    static constexpr size_t kMaxAttributes = 256;

    CXmlMarkup() = default;
    explicit CXmlMarkup(const char* text) { SetDoc(text); }

    // Replaces the document and parses it; true when it is well formed. A
    // null text empties the document (false). The cursor is reset either way.
    bool SetDoc(const char* text);
    bool SetDoc(const std::string& text);
    bool IsWellFormed() const { return well_formed_; }
    // The document text as given.
    const std::string& GetDoc() const { return doc_; }

    // Moves to the next element after the current one among the children of
    // the parent level whose tag equals `name` (any tag when null or empty);
    // false, cursor unchanged, when there is none.
    bool FindElem(const char* name = nullptr);
    bool FindElem(const std::string& name) { return FindElem(name.c_str()); }
    // Makes the current element the parent level (no current element below
    // it yet); false when there is no current element.
    bool IntoElem();
    // Goes back up: the parent element becomes current again; false at the
    // top level.
    bool OutOfElem();
    // Back to the top of the document, no current element.
    void ResetPos();

    // Tag name of the current element; empty when none.
    std::string GetTagName() const;
    // Text content of the current element (its own text and CDATA, entities
    // decoded, child elements and comments left out); empty when none.
    std::string GetData() const;
    // Value of the named attribute of the current element, entities decoded;
    // empty when absent.
    std::string GetAttrib(const char* name) const;
    std::string GetAttrib(const std::string& name) const { return GetAttrib(name.c_str()); }
    // Markup of the current element from its start tag through its end tag,
    // plus the white space that follows it; empty when none.
    std::string GetSubDoc() const;

private:
    static constexpr int32_t kNone = -1;
    struct Node {
        uint32_t start = 0;   // offset of '<'
        uint32_t end = 0;     // offset past the closing '>'
        uint32_t name_begin = 0;
        uint32_t name_len = 0;
        uint32_t attr_begin = 0;   // after the name
        uint32_t attr_end = 0;     // before '>' or "/>"
        uint32_t content_begin = 0;
        uint32_t content_end = 0;   // equal to content_begin for <a/>
        int32_t parent = kNone;
        int32_t first_child = kNone;
        int32_t last_child = kNone;
        int32_t next_sibling = kNone;
    };

    bool Parse();
    void Clear();
    bool NameEquals(const Node& n, const char* name) const;
    void check_invariant() const;

    std::string doc_;
    std::vector<Node> nodes_;
    bool well_formed_ = false;
    int32_t root_ = kNone;
    int32_t parent_ = kNone;    // parent level; kNone = the document itself
    int32_t current_ = kNone;   // current element on that level
};
