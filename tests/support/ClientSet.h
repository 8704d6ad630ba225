// The client side of a virtual device set, made as the program's device run makes it.
#pragma once

#include "platform/vdi/vdi.h"

#include <string>

namespace kestest {

// A set of `devices` devices created under a fresh name for `instance` (null: the default instance),
// on the calling thread with COM started for it. The end closes and releases the set unless the test
// did (and set `set` to null). A step that fails throws: nothing can be tested on a set not made.
struct ClientSet {
    explicit ClientSet(DWORD devices, const wchar_t* instance = nullptr);
    ~ClientSet();
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    // The name of device `index`: the set's name, followed by the index from the second device on.
    std::string deviceName(DWORD index) const;
    // Opens device `index` once the server side has configured the set; throws when it cannot.
    IClientVirtualDevice* open(DWORD index);

    IClientVirtualDeviceSet2* set = nullptr;
    std::string name;       // as the server side and the statements name the set
    std::wstring wideName;  // as the client calls take it
};

}  // namespace kestest
