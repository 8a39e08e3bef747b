#include "service/xml_element.h"

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <string>

using kx2dll::find_xml_element;
using kx2dll::xml_nesting_within;

TEST(FindXmlElement, PathsFromTheRoot)
{
    const char* doc = "<?xml version='1.0'?><!-- c --><cmd type='x'><version>3</version>"
                      "<a><b>deep</b></a><a><b>second</b><c/></a></cmd>";
    struct row {
        const char* path;
        const char* text;   // null: no element
    };
    const row rows[] = {
        {"p2spcmd", "(root)"},                                   // the root's own name is not compared
        {"anything/version", "3"},    {"p2spcmd/a/b", "deep"},   // the first child of each name
        {"p2spcmd//a///b", "deep"},                              // empty components are dropped
        {"p2spcmd/a/c", nullptr},                                // not under the first <a>
        {"p2spcmd/missing", nullptr}, {"p2spcmd/version/x", nullptr}, {"", nullptr}, {"///", nullptr},
    };
    TiXmlDocument document;
    document.Parse(doc);
    ASSERT_FALSE(document.Error());
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        TiXmlElement* element = find_xml_element(document, r.path);
        if (r.text == nullptr) {
            EXPECT_EQ(element, nullptr);
        } else if (std::string(r.text) == "(root)") {
            ASSERT_NE(element, nullptr);
            EXPECT_STREQ(element->Value(), "cmd");
        } else {
            ASSERT_NE(element, nullptr);
            EXPECT_STREQ(element->GetText(), r.text);
        }
    }
}

TEST(FindXmlElement, NoRootElement)
{
    TiXmlDocument document;
    document.Parse("<!-- only a comment -->");
    EXPECT_EQ(find_xml_element(document, "p2spcmd"), nullptr);
    TiXmlDocument empty;
    EXPECT_EQ(find_xml_element(empty, "p2spcmd/version"), nullptr);
}

TEST(XmlNesting, DepthIsCountedOverElementsOnly)
{
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += "<a x='1'>";
        for (int i = 0; i < depth; ++i)
            text += "</a>";
        return text;
    };
    struct row {
        std::string text;
        std::size_t limit;
        bool within;
    };
    const row rows[] = {
        {"", 0, true},
        {"<a/>", 0, true},   // self-closing adds no depth
        {"<a></a>", 0, false},
        {"<a></a>", 1, true},
        {nested(32), 32, true},
        {nested(33), 32, false},
        {"<a><b/><b/><b/></a>", 1, true},   // siblings do not add up
        {"<?xml version='1.0'?><!-- <a><a><a> --><a/>", 1, true},
        {"<a><![CDATA[<b><b><b>]]></a>", 1, true},
        {"<a><b><c>", 2, false},   // unclosed elements count
        {"<a", 0, true},           // truncated text ends the scan
        // A quoted "/>" or ">" inside a value does not end the tag.
        {"<a x='/>'><a y=\"/>\"></a></a>", 1, false},
        {"<a x='/>'><a y=\"/>\"></a></a>", 2, true},
        {"<a x='>'/>", 0, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(xml_nesting_within(r.text, r.limit), r.within);
    }
    EXPECT_FALSE(xml_nesting_within(nested(100000), 64));
    EXPECT_TRUE(xml_nesting_within(std::string(200000, '<') + "a>", 64));
    // Deep nesting hidden behind quoted "/>" values would otherwise reach
    // the recursive parser and overflow the stack.
    std::string hidden = "<p2spcmd type='getsetting'>";
    for (int i = 0; i < 60000; ++i)
        hidden += "<a x='/>'>";
    for (int i = 0; i < 60000; ++i)
        hidden += "</a>";
    hidden += "</p2spcmd>";
    EXPECT_FALSE(xml_nesting_within(hidden, 64));
}
