#include "formats/GpxWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/Units.h"
#include "formats/UtcTime.h"
#include "read/Position.h"
#include "system/ClientPlatform.h"
#include "system/Clocks.h"
#include "system/FixedText.h"
#include "system/Notice.h"

namespace {

const char kClosingTags[] = "</trkseg>\n</trk>\n</gpx>\n";

// Each point is written together with the closing tags over the previous closing tags, in one write, and
// synced: the file on disk is a complete GPX document after every point, so a crash loses at most that point.
// A write that fails, as on a full disk, is undone, so the document stays whole for the next run to add to.
class GpxWriter : public PositionSink {
public:
    GpxWriter(const std::string &path, int file) : path(path), file(file) {}
    ~GpxWriter() override { closeFile(file); }

    // Starts the track: in an empty file as a new document, in a GPX document as one more track at its end,
    // so that a flight a day can go to one file. Empty if it could, else why not. The file stays locked for
    // the run, since two writers would write their points over each other's.
    std::string start() {
        switch (lockFile(file)) {
            case FileLock::kTaken:
                break;
            case FileLock::kHeldElsewhere:
                return "another feedclient is writing to this file: give this one a file of its own";
            case FileLock::kFailed:
                return std::string("cannot lock it for this feedclient alone: ") + std::strerror(errno);
        }
        const std::string track = "<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
        std::uint64_t size = 0;
        if (!fileSize(file, size)) return std::strerror(errno);
        if (size == 0) {
            const std::string document =
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<gpx version=\"1.1\" creator=\"feedclient\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
            return writeBody(document + track) ? "" : std::strerror(errno);
        }
        std::size_t ends = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndBytes));
        std::string head, tail;
        if (!readAt(file, head, 0, ends) || !readAt(file, tail, size - ends, ends)) return std::strerror(errno);
        std::size_t closing = closingTagAt(head, tail);
        if (closing == std::string::npos)
            return "not a GPX file, so it is left as it is: give --gpx a new file, or a GPX file to add the track to";
        bodyEnd = size - tail.size() + closing;
        afterBody = tail.substr(closing);
        return writeBody(track) ? "" : std::strerror(errno);
    }

    bool take(const Position &p, std::string_view, SystemClock::time_point received) override {
        double latitude = p.value[kLatitude], longitude = p.value[kLongitude];
        // GPX has no place for a point without a valid position; and its schema takes longitudes from -180
        // up to 180 but not 180 itself, so a point on the antimeridian given as 180 is left out too.
        if (!isValidPlace(latitude, longitude) || longitude == 180) return true;
        std::string point;
        if (segmentBroken && segmentHasPoints) point = "</trkseg>\n<trkseg>\n";
        point += "<trkpt lat=\"" + p.text[kLatitude] + "\" lon=\"" + p.text[kLongitude] + "\">";
        if (std::isfinite(p.value[kElevation]))
            point += "<ele>" + fixedText(p.value[kElevation] / kFeetPerMetre, 3) + "</ele>";
        point += "<time>" + utcTimestamp(received) + "</time></trkpt>\n";
        segmentBroken = false;
        segmentHasPoints = true;
        return writeBody(point);
    }

    void feedLost() override { segmentBroken = true; }

private:
    // How much of each end of an existing file is read: enough for an XML declaration and the root's start,
    // and for the closing tag after any white space.
    static constexpr std::size_t kEndBytes = 4096;

    // Where, in `tail`, the closing </gpx> begins that ends the document whose first bytes are `head`: its
    // root must be <gpx>, after an XML declaration if any, and nothing but white space may follow the
    // closing tag. npos in any other file.
    static std::size_t closingTagAt(const std::string &head, const std::string &tail) {
        const char *space = " \t\r\n";
        std::size_t at = head.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;  // a UTF-8 byte order mark
        at = head.find_first_not_of(space, at);
        if (at != std::string::npos && head.compare(at, 5, "<?xml") == 0) {
            at = head.find("?>", at);
            at = at == std::string::npos ? at : head.find_first_not_of(space, at + 2);
        }
        if (at == std::string::npos || head.compare(at, 4, "<gpx") != 0 || at + 4 >= head.size() ||
            !std::strchr(" \t\r\n>", head[at + 4]))
            return std::string::npos;
        std::size_t last = tail.find_last_not_of(space);
        const std::string closing = "</gpx>";
        if (last == std::string::npos || last + 1 < closing.size() ||
            tail.compare(last + 1 - closing.size(), closing.size(), closing) != 0)
            return std::string::npos;
        return last + 1 - closing.size();
    }

    // Writes `text` at the body's end, the closing tags after it. A write that fails may have written part
    // of the text; it is put back as it was, the old closing tags written again where they were (in room the
    // file already had) and the rest cut off. False, with the write's errno, if it fails.
    bool writeBody(const std::string &text) {
        if (!writeAt(file, text + kClosingTags, bodyEnd)) {
            int cause = errno;
            if (writeAt(file, afterBody, bodyEnd) && truncateFile(file, bodyEnd + afterBody.size()) &&
                flushToDisk(file))
                notice(path + ": put back as it was before the write that failed");
            else
                notice(path + ": cannot be put back as it was before the write that failed: " + std::strerror(errno));
            errno = cause;
            return false;
        }
        bodyEnd += text.size();
        afterBody = kClosingTags;
        return flushToDisk(file);
    }

    const std::string path;
    const int file;
    std::uint64_t bodyEnd = 0;  // where the closing tags begin
    std::string afterBody;      // what the file holds from there on: its closing tags, nothing in a new file
    bool segmentBroken = false;
    bool segmentHasPoints = false;
};

}  // namespace

std::unique_ptr<PositionSink> makeGpxWriter(const std::string &path, std::string &error) {
    int file = openFile(path);
    if (file < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto writer = std::make_unique<GpxWriter>(path, file);
    std::string problem = writer->start();
    if (!problem.empty()) {
        error = path + ": " + problem;
        return nullptr;
    }
    return writer;
}
