// The gzip compression of written maps, by zlib and by libdeflate at a few
// levels: wall and processor time for all the maps one after the other (best
// of five; the processor time is the steadier on a busy machine) and the
// compressed size as a share of the raw size. Each result is decompressed
// again and compared with the input.
//
// usage: bench_deflate MAP.nii.gz...
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes readGzip(const char* path)
{
    gzFile in = gzopen(path, "rb");
    if (in == nullptr) throw std::runtime_error(std::string("cannot open ") + path);
    Bytes bytes;
    unsigned char buffer[1 << 16];
    int n;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    gzclose(in);
    if (n < 0) throw std::runtime_error(std::string("cannot read ") + path);
    return bytes;
}

Bytes zlibGzip(const Bytes& in, int level)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(in.size())));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) throw std::runtime_error("zlib failed");
    return out;
}

Bytes libdeflateGzip(const Bytes& in, int level)
{
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_gzip_compress_bound(c, in.size()));
    const std::size_t n = libdeflate_gzip_compress(c, in.data(), in.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    if (n == 0) throw std::runtime_error("libdeflate failed");
    out.resize(n);
    return out;
}

bool roundTrips(const Bytes& compressed, const Bytes& original)
{
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    Bytes back(original.size());
    std::size_t n = 0;
    const auto result = libdeflate_gzip_decompress(d, compressed.data(), compressed.size(), back.data(), back.size(), &n);
    libdeflate_free_decompressor(d);
    return result == LIBDEFLATE_SUCCESS && n == original.size() && back == original;
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MAP.nii.gz...\n", argv[0]);
        return 2;
    }
    std::vector<Bytes> maps;
    std::size_t raw = 0;
    for (int i = 1; i < argc; ++i) {
        maps.push_back(readGzip(argv[i]));
        raw += maps.back().size();
    }
    struct Method {
        const char* name;
        Bytes (*compress)(const Bytes&, int);
        int level;
    };
    const Method methods[] = {{"zlib", zlibGzip, 6}, {"zlib", zlibGzip, 1}, {"libdeflate", libdeflateGzip, 6},
                              {"libdeflate", libdeflateGzip, 4}, {"libdeflate", libdeflateGzip, 1}};
    std::printf("%zu maps, %.1f MB raw\n", maps.size(), static_cast<double>(raw) / 1e6);
    for (const Method& m : methods) {
        double best = 1e30, bestCpu = 1e30;
        std::size_t size = 0;
        bool ok = true;
        for (int repeat = 0; repeat < 5; ++repeat) {
            std::vector<Bytes> out;
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = threadSeconds();
            for (const Bytes& map : maps) out.push_back(m.compress(map, m.level));
            bestCpu = std::min(bestCpu, threadSeconds() - cpuStart);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            size = 0;
            for (std::size_t k = 0; k < out.size(); ++k) {
                size += out[k].size();
                ok = ok && roundTrips(out[k], maps[k]);
            }
        }
        std::printf("  %-10s level %d: %.3f s for all (processor %.3f s), %.1f %% of the raw size%s\n", m.name, m.level,
                    best, bestCpu, 100.0 * static_cast<double>(size) / static_cast<double>(raw),
                    ok ? "" : "  ROUND TRIP FAILED");
    }
    return 0;
}
