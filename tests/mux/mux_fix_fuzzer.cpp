/*
 * Fuzzes the repair of a record file: side files and record bytes come from
 * the input (a valid configuration unless the input asks for raw bytes);
 * ozi_mux_fix_file must neither crash nor touch memory it does not own.
 *
 * Input: byte 0 selects the container (bit 0) and a raw configuration
 * (bit 1); bytes 1-2 give the journal length; the rest is split into the
 * journal's records and the record file.
 */
#include "ozi_mux_index.h"
#include "ozi_sdk.h"

#include <cstdio>
#include <cstring>

using namespace ozimux;

namespace {

FILE *file_with(const uint8_t *p, size_t n)
{
    FILE *f = tmpfile();
    if (f && n)
        fwrite(p, 1, n, f);
    if (f)
        fflush(f);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const bool mp4 = data[0] & 1;
    const bool raw_config = data[0] & 2;
    size_t jlen = size_t(data[1]) << 8 | data[2];
    data += 3;
    size -= 3;
    if (jlen > size)
        jlen = size;

    Config c{};
    c.type = mp4 ? MUX_TYPE_MP4 : MUX_TYPE_AVI;
    c.has_audio = 1;
    c.width = 320;
    c.height = 240;
    c.fps = 25;
    c.video_timescale = 90000;
    c.audio_rate = 8000;
    c.audio_channels = 1;
    c.frame_interval_ms = 128;
    c.asc_len = uint8_t(make_asc(2, 11, 1, c.asc));
    c.data_offset = mp4 ? kMp4HeaderSize : avi_header_size(c) - 4;
    Buf cfg;
    if (raw_config)
        cfg.bytes(data, jlen < 64 ? jlen : 64);
    else
        encode_config(c, &cfg);

    Buf journal;
    uint32_t first = mp4 ? kJournalHeaderSize : kAviJournalRecords;
    uint8_t jh[kJournalHeaderSize];
    encode_journal_header(first, jh);
    journal.bytes(jh, sizeof jh);
    if (!mp4) {
        journal.bytes(cfg.b.data(), cfg.size() < kConfigMax ? cfg.size() : kConfigMax);
        journal.b.resize(first, 0);
    }
    /* Records: each 13-byte group of the input becomes a checked record,
     * so that the fuzzer reaches the sample tables rather than the check. */
    auto rd32 = [](const uint8_t *p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16) | uint32_t(p[3]) << 24; };
    for (size_t off = 0; off + 13 <= jlen; off += 13) {
        const uint8_t *r = data + off;
        Sample s;
        s.size = rd32(r) % 4096;
        s.offset = rd32(r + 4) % 65536;
        s.ts_ms = int32_t(rd32(r + 8));
        s.track = r[12] & 1;
        s.key = (r[12] >> 1) & 1;
        uint8_t rec[kRecordSize];
        encode_record(s, rec);
        journal.bytes(rec, sizeof rec);
    }
    if (jlen % 13)
        journal.bytes(data + jlen - jlen % 13, jlen % 13); /* a torn last record */

    FILE *rec = file_with(data + jlen, size - jlen);
    FILE *j = file_with(journal.b.data(), journal.size());
    FILE *m = mp4 ? file_with(cfg.b.data(), cfg.size()) : nullptr;
    if (rec && j && (!mp4 || m)) {
        mux_fileinfo info{};
        if (mp4)
            ozi_mux_fix_file(rec, nullptr, m, j, MUX_TYPE_MP4, &info);
        else
            ozi_mux_fix_file(rec, j, nullptr, nullptr, MUX_TYPE_AVI, &info);
    }
    if (rec)
        fclose(rec);
    if (j)
        fclose(j);
    if (m)
        fclose(m);
    return 0;
}
