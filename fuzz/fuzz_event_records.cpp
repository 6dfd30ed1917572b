// The event records past the link: decoding, both CSV layouts and their reader, the merge of
// downloads, and the plot drawn over whatever the records hold, its time labels kept apart.
//
// Input: byte 0 bit 7 set, the rest is a file for the reader; else byte 0 (low five bits) is the
// relay count, byte 1 the clock's offset from UTC in quarter hours (signed), and the rest the
// records, 18 bytes each.
#include "check.h"
#include "formats/eventcsv.h"
#include "formats/eventlog.h"
#include "plot/eventplot.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

auto key(const EventRecord& r, int relays) {
    return std::make_tuple(r.timestamp, r.readings,
                           static_cast<uint16_t>(r.relays & ((1u << relays) - 1)));
}

bool same(const std::vector<EventRecord>& a, const std::vector<EventRecord>& b, int relays) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [relays](const auto& x, const auto& y) {
               return key(x, relays) == key(y, relays);
           });
}

// Whatever the reader takes, it takes again once written in the layout that explains itself.
void read_file(const std::string& text) {
    EventFileHeader header;
    std::vector<EventRecord> records, again;
    std::string error;
    if (!read_event_file(text, &header, &records, &error)) {
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
        return;
    }
    FUZZ_CHECK(read_event_file(event_iso_text(header, records), &header, &again, &error));
    FUZZ_CHECK(same(records, again, header.relays));
}

void draw(const std::vector<EventRecord>& records, int relays) {
    EventLog log = make_event_log(records);
    FUZZ_CHECK(log.events.size() == records.size() && log.valid_count <= records.size());
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 320, 200);
    cairo_t* cr = cairo_create(surface);
    PlotView whole = full_view(log, relays);
    FUZZ_CHECK(whole.from <= whole.to);
    whole.title = plot_title(EventFileHeader{}, log);
    // The time labels keep apart, in order, at any span the records make.
    for (const PlotView& v : {whole, zoom_view(whole, log, 0.01, log.last)}) {
        draw_event_plot(cr, 320, 200, log, v);
        TimeAxis axis = time_axis_layout(cr, plot_frame(log, v, 320, 200), v);
        for (size_t i = 1; i < axis.ticks.size(); ++i)
            FUZZ_CHECK(axis.ticks[i].t > axis.ticks[i - 1].t &&
                       axis.ticks[i].label_left >=
                           axis.ticks[i - 1].label_right + TICK_LABEL_GAP - 0.01);
    }
    FUZZ_CHECK(cairo_status(cr) == CAIRO_STATUS_SUCCESS);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    if (data[0] & 0x80) {
        read_file(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
        return 0;
    }
    int relays = std::min(data[0] & 0x1F, EVENT_RELAYS);
    EventFileHeader header;
    header.relays = relays;
    header.utc_offset_minutes = static_cast<int8_t>(data[1]) * 15;

    // The records as the dump holds them: each line of the export has all its columns, and the
    // export's layout is always readable, never yielding more events than were written.
    std::vector<uint8_t> dump(EVENT_DUMP_SIZE, 0xFF);
    size_t count = std::min((size - 2) / EVENT_RECORD_SIZE, EVENT_RECORD_COUNT), written = 0;
    std::memcpy(dump.data(), data + 2, count * EVENT_RECORD_SIZE);
    std::string exported = event_csv_header();
    for (size_t n = 0; n < count; ++n) {
        const uint8_t* bytes = dump.data() + n * EVENT_RECORD_SIZE;
        written += !is_empty_record(bytes);
        std::string line = event_csv_line(decode_event_record(bytes));
        FUZZ_CHECK(std::count(line.begin(), line.end(), ',') == 26 && line.back() == '\n');
        exported.append(line);
    }
    std::vector<EventRecord> records = dump_records(dump.data(), dump.size());
    FUZZ_CHECK(records.size() == written);

    // The layout that explains itself gives back every record, exactly.
    std::vector<EventRecord> back;
    EventFileHeader read_header;
    std::string error;
    FUZZ_CHECK(read_event_file(event_iso_text(header, records), &read_header, &back, &error));
    FUZZ_CHECK(read_header.relays == relays &&
               read_header.utc_offset_minutes == header.utc_offset_minutes);
    FUZZ_CHECK(same(records, back, relays));

    // Merging is idempotent and keeps each record once, in time order.
    std::vector<EventRecord> once = merge_event_records(records, {}, relays);
    FUZZ_CHECK(same(merge_event_records(once, records, relays), once, relays));
    for (size_t i = 1; i < once.size(); ++i)
        FUZZ_CHECK(once[i - 1].timestamp <= once[i].timestamp &&
                   key(once[i - 1], relays) != key(once[i], relays));

    FUZZ_CHECK(read_event_file(exported, &read_header, &back, &error));
    FUZZ_CHECK(back.size() <= written);

    draw(records, relays);
    return 0;
}
