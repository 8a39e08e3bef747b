// XML-RPC request bodies through the launcher's server as a connection hands
// them over: the nesting bound, the library's parse, a method call and the
// response. A body the bound lets through never reaches the method nested
// deeper than the bound, whatever comments, CDATA or attributes hide.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include <flxmlrpc/XmlRpcServerMethod.h>
#include <flxmlrpc/XmlRpcValue.h>

#include "fuzz_check.h"
#include "service/launcher_rpc_server.h"

namespace {

std::size_t depth_of(XmlRpc::XmlRpcValue& value)
{
    std::size_t deepest = 0;
    if (value.getType() == XmlRpc::XmlRpcValue::TypeArray) {
        for (int i = 0; i < value.size(); ++i)
            deepest = std::max(deepest, depth_of(value[i]));
    } else if (value.getType() == XmlRpc::XmlRpcValue::TypeStruct) {
        XmlRpc::XmlRpcValue::ValueStruct members = value;
        for (auto& member : members)
            deepest = std::max(deepest, depth_of(member.second));
    } else {
        return 0;
    }
    return deepest + 1;
}

// Stands in for the launcher method: notes how deep its parameters nest
// and answers them back, so the response is built from them too.
class probe_method : public XmlRpc::XmlRpcServerMethod {
public:
    explicit probe_method(XmlRpc::XmlRpcServer* server) : XmlRpc::XmlRpcServerMethod("ServiceInterface", server) {}
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override
    {
        FUZZ_CHECK(depth_of(params) <= kx2dll::launcher_rpc_server::max_nesting);
        result = params;
    }
};

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kx2dll::launcher_rpc_server server;   // never bound: it only parses and calls
    static probe_method probe(&server);
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::string response = server.executeRequest(body);
    FUZZ_CHECK(response.compare(0, 15, "HTTP/1.1 200 OK") == 0);
    FUZZ_CHECK(response.find("<methodResponse>") != std::string::npos);
    return 0;
}
