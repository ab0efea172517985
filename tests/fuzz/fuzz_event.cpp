// The event file reader and the data-line search on any bytes.
#include "kxevent.h"
#include "support.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = kxfuzz::put_file("qzt_event_1", data, size);
    KX_EVENT_REC* ev = event_read(path.c_str());
    if (!ev) return 0;
    for (const char* prefix : {"BRN_NOTIFY: ", "INSTALLER_NAME: ", "", "X"}) {
        for (int strip : {0, 1}) {
            char* rest = event_find_data_line(ev, prefix, strip);
            if (rest && !*rest) kxfuzz::property_failed("an empty rest is returned", prefix);
            std::free(rest);
        }
    }
    event_destroy(ev);
    return 0;
}
