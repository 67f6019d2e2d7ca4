#include "serve/Gzip.h"

#include <zlib.h>

#include <cstring>

std::string gzipped(std::string_view data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    // A window of 2^15 bytes, plus 16: a gzip header and trailer rather than zlib's.
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    // deflateBound leaves room for the whole stream, so one call ends it.
    bool ended = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return ended ? out : std::string();
}
