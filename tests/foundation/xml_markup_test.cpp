#include "foundation/xml_markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kFileList[] =
    "<filelist>\r\n"
    "  <file>\r\n"
    "    <fileindex>0</fileindex>\r\n"
    "    <filemd5>0CC175B9C0F1B6A831C399E269772661</filemd5>\r\n"
    "    <filename>\\data\\a.pak</filename>\r\n"
    "    <filesize>1048577</filesize>\r\n"
    "    <fileblock_md5len>64</fileblock_md5len>\r\n"
    "    <fileblock_md5>0CC175B9C0F1B6A831C399E2697726610CC175B9C0F1B6A831C399E269772661</fileblock_md5>\r\n"
    "  </file>\r\n"
    "  <file>\r\n"
    "    <fileindex>1</fileindex>\r\n"
    "    <filemd5>900150983CD24FB0D6963F7D28E17F72</filemd5>\r\n"
    "    <filename>b &amp; c.txt</filename>\r\n"
    "    <filesize>3</filesize>\r\n"
    "    <fileblock_md5len>32</fileblock_md5len>\r\n"
    "    <fileblock_md5>900150983CD24FB0D6963F7D28E17F72</fileblock_md5>\r\n"
    "  </file>\r\n"
    "</filelist>\r\n  ";

std::string seed(const std::string& header_order = "")
{
    std::string header = header_order.empty()
                             ? "  <taskid>18446744073709551615</taskid>\r\n  <blocksize>1048576</blocksize>\r\n"
                               "  <srcdir>game</srcdir>\r\n  <filecount>2</filecount>\r\n"
                             : header_order;
    return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<!-- seed -->\r\n<task gameid=\"12\">\r\n") +
           header + "  " + kFileList + "</task>\r\n";
}

// The add-task reading: header values in order, then the file list cut out.
bool add_task_reading(CXmlMarkup& x, std::string& filelist)
{
    if (!x.FindElem("task"))
        return false;
    if (!x.IntoElem())
        return false;
    for (const char* name : {"taskid", "blocksize", "srcdir", "filecount"}) {
        if (!x.FindElem(name))
            return false;
    }
    if (!x.FindElem("filelist"))
        return false;
    filelist = x.GetSubDoc();
    return true;
}

TEST(XmlMarkupTest, SeedAddTaskReading)
{
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc(seed()));
    ASSERT_TRUE(x.FindElem("task"));
    EXPECT_EQ(x.GetAttrib("gameid"), "12");
    EXPECT_EQ(x.GetAttrib("missing"), "");
    ASSERT_TRUE(x.IntoElem());
    ASSERT_TRUE(x.FindElem("taskid"));
    EXPECT_EQ(x.GetData(), "18446744073709551615");
    ASSERT_TRUE(x.FindElem("blocksize"));
    EXPECT_EQ(x.GetData(), "1048576");
    ASSERT_TRUE(x.FindElem("srcdir"));
    EXPECT_EQ(x.GetData(), "game");
    ASSERT_TRUE(x.FindElem("filecount"));
    ASSERT_TRUE(x.FindElem("filelist"));
    // Start tag through end tag plus the white space after it, exactly.
    EXPECT_EQ(x.GetSubDoc(), kFileList);
}

TEST(XmlMarkupTest, FileListFullReading)
{
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc(kFileList));
    ASSERT_TRUE(x.FindElem("filelist"));
    ASSERT_TRUE(x.IntoElem());
    std::vector<std::string> names;
    while (x.FindElem("file")) {
        ASSERT_TRUE(x.IntoElem());
        for (const char* name : {"fileindex", "filemd5", "filename", "filesize", "fileblock_md5len", "fileblock_md5"}) {
            ASSERT_TRUE(x.FindElem(name)) << name;
            if (std::string(name) == "filename")
                names.push_back(x.GetData());
        }
        ASSERT_TRUE(x.OutOfElem());
        EXPECT_EQ(x.GetTagName(), "file");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"\\data\\a.pak", "b & c.txt"}));
    ASSERT_TRUE(x.OutOfElem());
    EXPECT_EQ(x.GetTagName(), "filelist");
    EXPECT_FALSE(x.OutOfElem()) << "already at the top";
}

TEST(XmlMarkupTest, ElementOrderMattersBecauseSearchIsForwardOnly)
{
    const struct {
        const char* what;
        std::string header;
        bool readable;
    } kCases[] = {
        {"usual order", "<taskid>1</taskid><blocksize>2</blocksize><srcdir>d</srcdir><filecount>0</filecount>", true},
        {"blocksize after srcdir",
         "<taskid>1</taskid><srcdir>d</srcdir><blocksize>2</blocksize><filecount>0</filecount>", false},
        {"other elements between",
         "<x/><taskid>1</taskid><y>t</y><blocksize>2</blocksize><srcdir>d</srcdir>"
         "<z><taskid>9</taskid></z><filecount>0</filecount><w/>",
         true},
        {"taskid missing", "<blocksize>2</blocksize><srcdir>d</srcdir><filecount>0</filecount>", false},
        {"taskid only nested deeper",
         "<z><taskid>1</taskid></z><blocksize>2</blocksize><srcdir>d</srcdir>"
         "<filecount>0</filecount>",
         false},
    };
    for (const auto& c : kCases) {
        CXmlMarkup x;
        ASSERT_TRUE(x.SetDoc(seed(c.header))) << c.what;
        std::string filelist;
        EXPECT_EQ(add_task_reading(x, filelist), c.readable) << c.what;
    }
}

TEST(XmlMarkupTest, FailedFindLeavesTheCursor)
{
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc("<r><a>1</a><b>2</b><a>3</a></r>"));
    ASSERT_TRUE(x.FindElem());
    ASSERT_TRUE(x.IntoElem());
    ASSERT_TRUE(x.FindElem("b"));
    EXPECT_FALSE(x.FindElem("c"));
    EXPECT_EQ(x.GetTagName(), "b");
    ASSERT_TRUE(x.FindElem("a"));
    EXPECT_EQ(x.GetData(), "3");
    EXPECT_FALSE(x.FindElem());
    x.ResetPos();
    EXPECT_EQ(x.GetTagName(), "");
    ASSERT_TRUE(x.FindElem("r"));
    EXPECT_FALSE(x.FindElem("r")) << "a single root";
    EXPECT_FALSE(x.FindElem(""));
}

TEST(XmlMarkupTest, EmptyFileListAndEmptyElements)
{
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc("<filelist/>"));
    ASSERT_TRUE(x.FindElem("filelist"));
    EXPECT_EQ(x.GetSubDoc(), "<filelist/>");
    EXPECT_EQ(x.GetData(), "");
    ASSERT_TRUE(x.IntoElem());
    EXPECT_FALSE(x.FindElem("file"));
    EXPECT_FALSE(x.IntoElem()) << "no current element";
}

TEST(XmlMarkupTest, DataEntitiesCdataAndComments)
{
    const struct {
        const char* doc;
        const char* data;
    } kCases[] = {
        {"<a>&lt;&gt;&amp;&apos;&quot;</a>", "<>&'\""},
        {"<a>&#65;&#x42;&#x4e2d;</a>", "AB\xe4\xb8\xad"},
        {"<a>&#x1F600;</a>", "\xf0\x9f\x98\x80"},
        {"<a><![CDATA[<not> &amp; markup]]></a>", "<not> &amp; markup"},
        {"<a>x<!-- c <b> -->y<?pi z?>z</a>", "xyz"},
        {"<a>one<b>two</b>three</a>", "onethree"},
        {"<a> 12 </a>", " 12 "},
        {"<a>A & B &unknown; &#; &#xZ; &#0;</a>", "A & B &unknown; &#; &#xZ; &#0;"},
        {"<a>\xe4\xb8\xad\xe6\x96\x87</a>", "\xe4\xb8\xad\xe6\x96\x87"},
    };
    for (const auto& c : kCases) {
        CXmlMarkup x;
        ASSERT_TRUE(x.SetDoc(c.doc)) << c.doc;
        ASSERT_TRUE(x.FindElem());
        EXPECT_EQ(x.GetData(), c.data) << c.doc;
    }
}

TEST(XmlMarkupTest, Attributes)
{
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc("<p2spcmd type='start_download_file' a = \"x &amp; y\" b=\"it's\" c='say \"hi\"'"
                         " d=\"line\nbreak\" e=\"\" f=\"&#65;\"/>"));
    ASSERT_TRUE(x.FindElem("p2spcmd"));
    EXPECT_EQ(x.GetAttrib("type"), "start_download_file");
    EXPECT_EQ(x.GetAttrib("a"), "x & y");
    EXPECT_EQ(x.GetAttrib("b"), "it's");
    EXPECT_EQ(x.GetAttrib("c"), "say \"hi\"");
    EXPECT_EQ(x.GetAttrib("d"), "line break");
    EXPECT_EQ(x.GetAttrib("e"), "");
    EXPECT_EQ(x.GetAttrib("f"), "A");
    EXPECT_EQ(x.GetAttrib("typ"), "");
    EXPECT_EQ(x.GetAttrib(std::string("type")), "start_download_file");
}

TEST(XmlMarkupTest, SubDocTrailingWhiteSpace)
{
    const struct {
        const char* doc;
        const char* sub;
    } kCases[] = {
        {"<r><a>1</a></r>", "<a>1</a>"},         {"<r><a>1</a> \t\r\n </r>", "<a>1</a> \t\r\n "},
        {"<r><a>1</a>\n<b/></r>", "<a>1</a>\n"}, {"<r><a>1</a >x</r>", "<a>1</a >"},
        {"<r><a k='>'/>  </r>", "<a k='>'/>  "},
    };
    for (const auto& c : kCases) {
        CXmlMarkup x;
        ASSERT_TRUE(x.SetDoc(c.doc)) << c.doc;
        ASSERT_TRUE(x.FindElem());
        ASSERT_TRUE(x.IntoElem());
        ASSERT_TRUE(x.FindElem("a"));
        EXPECT_EQ(x.GetSubDoc(), c.sub) << c.doc;
    }
    // The root takes the white space up to the end of the document.
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc("<r/>\r\n\r\n"));
    ASSERT_TRUE(x.FindElem());
    EXPECT_EQ(x.GetSubDoc(), "<r/>\r\n\r\n");
}

TEST(XmlMarkupTest, MalformedDocumentsAreRefused)
{
    const char* kBad[] = {
        "",
        "   ",
        "just text",
        "<a>",
        "<a></b>",
        "<a><b></a></b>",
        "<a></a><b></b>",
        "<a/><a/>",
        "text<a/>",
        "<a/>text",
        "<a b='1></a>",
        "<a b=1></a>",
        "<a b='1' b='2'/>",
        "<a b='1'c='2'/>",
        "<a b='<'/>",
        "<1a/>",
        "< a/>",
        "<a></a",
        "<a><!-- open </a>",
        "<a><![CDATA[ open </a>",
        "<!DOCTYPE a><a/>",
        "<a><!ELEMENT x></a>",
        "<a></ab>",
        "<ab></a>",
        "<a/ >",
        "<![CDATA[x]]><a/>",
        "<? ?><a/>",
    };
    for (const char* doc : kBad) {
        CXmlMarkup x;
        EXPECT_FALSE(x.SetDoc(doc)) << doc;
        EXPECT_FALSE(x.IsWellFormed());
        EXPECT_FALSE(x.FindElem()) << doc;
        EXPECT_EQ(x.GetSubDoc(), "");
    }
    CXmlMarkup x;
    EXPECT_FALSE(x.SetDoc(std::string("<a>\0</a>", 8))) << "embedded NUL";
    ASSERT_TRUE(x.SetDoc("<a/>"));
    EXPECT_FALSE(x.SetDoc(nullptr)) << "null empties the document";
    EXPECT_EQ(x.GetDoc(), "");
    EXPECT_FALSE(x.FindElem());
}

TEST(XmlMarkupTest, AcceptedProlog)
{
    const char* kGood[] = {
        "\xEF\xBB\xBF<a/>",
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<!-- c -->\n<a/>\n<!-- after -->\n",
        "<a\n  x = 'y'\n></a\n>",
        "<ns:a-b.c_d/>",
    };
    for (const char* doc : kGood) {
        CXmlMarkup x;
        EXPECT_TRUE(x.SetDoc(doc)) << doc;
    }
}

TEST(XmlMarkupTest, DepthIsBounded)
{
    auto nested = [](size_t depth) {
        std::string s;
        for (size_t i = 0; i < depth; ++i)
            s += "<e>";
        for (size_t i = 0; i < depth; ++i)
            s += "</e>";
        return s;
    };
    CXmlMarkup x;
    EXPECT_TRUE(x.SetDoc(nested(CXmlMarkup::kMaxDepth)));
    size_t levels = 0;
    while (x.FindElem("e") && x.IntoElem())
        ++levels;
    EXPECT_EQ(levels, CXmlMarkup::kMaxDepth);
    EXPECT_FALSE(x.SetDoc(nested(CXmlMarkup::kMaxDepth + 1)));
    // Far past the limit: refused quickly, without deep recursion.
    EXPECT_FALSE(x.SetDoc(nested(200000)));
}

TEST(XmlMarkupTest, SizeIsBounded)
{
    std::string doc = "<a>";
    doc.resize(CXmlMarkup::kMaxDocSize - 4, 'x');
    doc += "</a>";
    CXmlMarkup x;
    EXPECT_TRUE(x.SetDoc(doc));
    doc.insert(3, "x");
    EXPECT_FALSE(x.SetDoc(doc));
    EXPECT_EQ(x.GetDoc(), "") << "an oversized document is not kept";
}

TEST(XmlMarkupTest, ManySiblingsAndAttributeCap)
{
    std::string doc = "<r>";
    for (int i = 0; i < 20000; ++i)
        doc += "<file/>";
    doc += "</r>";
    CXmlMarkup x;
    ASSERT_TRUE(x.SetDoc(doc));
    ASSERT_TRUE(x.FindElem());
    ASSERT_TRUE(x.IntoElem());
    int n = 0;
    while (x.FindElem("file"))
        ++n;
    EXPECT_EQ(n, 20000);

    std::string tag = "<a";
    for (size_t i = 0; i <= CXmlMarkup::kMaxAttributes; ++i)
        tag += " k" + std::to_string(i) + "='v'";
    EXPECT_FALSE(x.SetDoc(tag + "/>"));
}

TEST(XmlMarkupTest, EveryTruncationOfADocumentIsRefused)
{
    const std::string doc = "<?xml version=\"1.0\"?>\r\n" + std::string(kFileList);
    const std::size_t end = doc.find_last_not_of(" \r\n") + 1;   // just past "</filelist>"
    for (std::size_t cut = 0; cut < end; ++cut) {
        CXmlMarkup x;
        EXPECT_FALSE(x.SetDoc(doc.substr(0, cut))) << cut;
        EXPECT_FALSE(x.FindElem()) << cut;
    }
    for (std::size_t cut = end; cut <= doc.size(); ++cut) {
        CXmlMarkup x;
        ASSERT_TRUE(x.SetDoc(doc.substr(0, cut))) << cut;
        ASSERT_TRUE(x.FindElem("filelist"));
        ASSERT_TRUE(x.IntoElem());
        EXPECT_TRUE(x.FindElem("file"));
        EXPECT_TRUE(x.FindElem("file"));
        EXPECT_FALSE(x.FindElem("file"));
    }
}

}   // namespace
