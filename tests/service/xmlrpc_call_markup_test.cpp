#include "service/xmlrpc_call_markup.h"

#include <gtest/gtest.h>

#include <string>

using kx2dll::check_xmlrpc_call;
using kx2dll::xmlrpc_call_markup;

TEST(XmlRpcCallMarkup, EveryShapeOfACallPassesAndNothingElse)
{
    const std::string head = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>m</methodName>\r\n";
    const auto call = [&](const std::string& value) {
        return head + "<params><param>" + value + "</param></params></methodCall>\r\n";
    };
    struct row {
        std::string text;
        xmlrpc_call_markup expected;
    };
    const auto ok = xmlrpc_call_markup::well_formed;
    const auto bad = xmlrpc_call_markup::malformed;
    const row rows[] = {
        // What clients send.
        {head + "</methodCall>", ok},
        {head + "<params></params></methodCall>", ok},
        {call("<value>text &amp; more</value>"), ok},
        {call("<value></value>"), ok},
        {call("<value> <string>a</string> </value>"), ok},
        {call("<value><i4>-12</i4></value>"), ok},
        {call("<value><int>+3</int></value>"), ok},
        {call("<value><boolean>1</boolean></value>"), ok},
        {call("<value><double>-1.5e3</double></value>"), ok},
        {call("<value><dateTime.iso8601>20261207T14:33:00</dateTime.iso8601></value>"), ok},
        {call("<value><base64>QUJD\r\nRA==</base64></value>"), ok},
        {call("<value><nil/></value>"), ok},
        {call("<value><array><data><value>1</value>\n<value><i4>2</i4></value></data></array></value>"), ok},
        {call("<value><array><data></data></array></value>"), ok},
        {call("<value><struct><member><name>a</name><value>1</value></member>"
              "<member> <name>b</name> <value><struct></struct></value> </member></struct></value>"),
         ok},
        // What the library would misread, stop on or leave half parsed.
        {"", bad},
        {"hello", bad},
        {head, bad},
        {head + "<!-- note --></methodCall>", bad},
        {head + "<params><param><value a=\"1\">x</value></param></params></methodCall>", bad},
        {call("<value><i4>12 </i4></value>"), bad},
        {call("<value><i4></i4></value>"), bad},
        {call("<value><boolean>true</boolean></value>"), bad},
        {call("<value><double>1.5x</double></value>"), bad},
        {call("<value><dateTime.iso8601>2026-12-07</dateTime.iso8601></value>"), bad},
        {call("<value><base64>QU*D</base64></value>"), bad},
        {call("<value><i8>1</i8></value>"), bad},
        {call("<value><i4>1</i4></value><value>2</value>"), bad},
        {call("<value>x<string>a</string></value>"), bad},
        {call("<value><string>a</string>x</value>"), bad},
        {call("<value><array></array></value>"), bad},
        {call("<value><struct><member><value>1</value><name>a</name></member></struct></value>"), bad},
        {call("<value><struct><member><name>a</name></member></struct></value>"), bad},
        {call("<value><string>a</value></string>"), bad},
        {call("<value>a"), bad},
        {call(std::string("<value>a\0b</value>", 18)), bad},
        {head + "</methodCall><methodCall><methodName>m</methodName></methodCall>", bad},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(check_xmlrpc_call(r.text, 64), r.expected);
    }
    std::string deep;
    for (int i = 0; i < 20; ++i)
        deep = "<value><array><data>" + deep + "</data></array></value>";
    EXPECT_EQ(check_xmlrpc_call(call(deep), 64), ok);
    EXPECT_EQ(check_xmlrpc_call(call(deep), 32), xmlrpc_call_markup::too_deep);
}
