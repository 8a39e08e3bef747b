// Turns a host name into the unique texts of its IPv4 addresses, in
// ascending text order, with getaddrinfo. Blocks the calling thread for
// the lookup.
#pragma once

#include <list>
#include <map>
#include <string>

class CHostResolver {
public:
    // Result codes of ResolveOne.
    enum {
        resolve_ok = 0,
        resolve_startup_failed = 1,   // kept for callers; cannot happen here
        resolve_bad_version = 2,      // kept for callers; cannot happen here
        resolve_no_name = 3,
        resolve_lookup_failed = 4,
    };

    // Resolves `name` into `out`. False only for an empty name; an unknown
    // name gives true with an empty list.
    bool ResolveHosts(const std::string& name, std::list<std::string>& out);

    // Adds a name to resolve; false for an empty name.
    bool AddName(const std::string& name);

    // Resolves every added name; `out` receives every address found, each
    // once, in ascending text order. False only when no name was added.
    bool ResolveAll(std::list<std::string>& out);

    // Resolves one name into the results; one of the codes above. A failed
    // lookup writes "getaddrinfo error" and the reason to the debugger
    // output.
    int ResolveOne(const std::string& name);

    // The text of a getaddrinfo error code.
    static std::string WinsockErrorText(int error);

private:
    std::map<std::string, int> m_results;   // address text -> 1
    std::map<std::string, int> m_names;     // names to resolve -> 1
};
