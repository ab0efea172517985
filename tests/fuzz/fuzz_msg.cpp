// The message header reader on any bytes.
#include "kx_msg.h"
#include "support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kxfuzz::put_file("qzt_msg_1.msg", data, size);
    MSG_HEADER* header = msg_read_header(kxfuzz::work_dir().c_str(), "qzt_msg_1.msg");
    if (!header) return 0;
    msg_free(header);
    std::free(header);
    return 0;
}
