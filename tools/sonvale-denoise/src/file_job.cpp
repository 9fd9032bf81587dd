// denoiseFile: libsndfile in, StreamDenoiser, libsndfile out through a
// temporary file that replaces OUT only when the whole job has succeeded.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "denoise_core.h"

namespace sonvale::denoise {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// libsndfile's messages sometimes end in a full stop or a newline; keep them
// to one clean line.
std::string oneLine(std::string s) {
    for (char& c : s) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
    // ... and drop their "System error : " / "Error : " labels.
    for (const char* label : {"System error : ", "Error : "}) {
        for (size_t at; (at = s.find(label)) != std::string::npos;) s.erase(at, std::strlen(label));
    }
    return s;
}

std::string lowerExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::string dirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool formatWritable(int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    return sf_format_check(&info) != 0;
}

bool isPlainPcm(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
            return true;
        default:
            return false;
    }
}

// A header that promises more sample data than the file holds, or an Ogg
// stream that stops without its end marker, means the file was cut short.
// libsndfile reads such files without an error and reports it only in its
// log: lines such as "data : 576000 (should be 287978)".
bool logShowsTruncation(SNDFILE* f) {
    char log[16384] = {};
    sf_command(f, SFC_GET_LOG_INFO, log, sizeof log);
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("ended unexpectedly") != std::string::npos) return true;
        size_t colon = line.find(" : ");
        size_t should = line.find("(should be ");
        if (colon == std::string::npos || should == std::string::npos) continue;
        std::string label = line.substr(0, colon);
        while (!label.empty() && label.back() == ' ') label.pop_back();
        if (label != "data" && label != "SSND") continue;
        unsigned long long declared = std::strtoull(line.c_str() + colon + 3, nullptr, 10);
        unsigned long long actual = std::strtoull(line.c_str() + should + 11, nullptr, 10);
        // 0 and all-ones are what streaming writers put before they know the
        // length; such files are not truncated.
        bool placeholder = declared == 0 || declared >= 0xFFFFFFF0ull;
        if (!placeholder && declared > actual) return true;
    }
    return false;
}

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

// The temporary output: removed unless committed.
struct TempFile {
    std::string path;
    int fd = -1;
    bool committed = false;
    ~TempFile() {
        if (fd >= 0) close(fd);
        if (!path.empty() && !committed) unlink(path.c_str());
    }
};

}  // namespace

int chooseOutputFormat(int input_format, const std::string& output, int rate, int channels) {
    const int in_major = input_format & SF_FORMAT_TYPEMASK;
    const int in_sub = input_format & SF_FORMAT_SUBMASK;
    const int in_endian = input_format & SF_FORMAT_ENDMASK;

    struct Ext {
        const char* ext;
        int major;
        int subtype;  // 0: choose
    };
    static const Ext kExts[] = {
        {"wav", SF_FORMAT_WAV, 0},
        {"wave", SF_FORMAT_WAV, 0},
        {"flac", SF_FORMAT_FLAC, 0},
        {"ogg", SF_FORMAT_OGG, 0},
        {"oga", SF_FORMAT_OGG, 0},
        {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
        {"aif", SF_FORMAT_AIFF, 0},
        {"aiff", SF_FORMAT_AIFF, 0},
        {"aifc", SF_FORMAT_AIFF, 0},
        {"au", SF_FORMAT_AU, 0},
        {"snd", SF_FORMAT_AU, 0},
        {"caf", SF_FORMAT_CAF, 0},
        {"w64", SF_FORMAT_W64, 0},
        {"rf64", SF_FORMAT_RF64, 0},
        {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
    };
    int major = 0, forced = 0;
    const std::string ext = lowerExtension(output);
    for (const Ext& e : kExts) {
        if (ext == e.ext) {
            major = e.major;
            forced = e.subtype;
        }
    }
    if (major == 0) major = in_major;

    std::vector<int> tries;
    if (forced) tries.push_back(major | forced);
    if (major == in_major) {
        tries.push_back(input_format);
        tries.push_back(major | in_sub);
    } else if (isPlainPcm(in_sub)) {
        tries.push_back(major | in_sub | in_endian);
        tries.push_back(major | in_sub);
    }
    const bool wide = in_sub == SF_FORMAT_PCM_24 || in_sub == SF_FORMAT_PCM_32 ||
                      in_sub == SF_FORMAT_FLOAT || in_sub == SF_FORMAT_DOUBLE;
    for (int sub : {wide ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16, SF_FORMAT_PCM_16, SF_FORMAT_FLOAT,
                    SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III}) {
        tries.push_back(major | sub);
    }
    for (int f : tries) {
        if (formatWritable(f, rate, channels)) return f;
    }
    return 0;
}

FileResult denoiseFile(const FileJob& job) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    FileResult r;
    auto fail = [&r](std::string msg) {
        r.ok = false;
        r.error = oneLine(std::move(msg));
        return r;
    };

    // Input: exists, is a file we can open, and libsndfile knows its format.
    struct stat in_st {};
    if (job.input.empty()) return fail("no input file given");
    if (stat(job.input.c_str(), &in_st) != 0) {
        return fail("cannot open input " + quoted(job.input) + ": " + std::strerror(errno));
    }
    if (S_ISDIR(in_st.st_mode)) return fail("input " + quoted(job.input) + " is a directory");
    {
        int fd = open(job.input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return fail("cannot open input " + quoted(job.input) + ": " + std::strerror(errno));
        }
        close(fd);
    }

    // Output: never the input itself (also through another path, a symlink
    // or a hard link), never a directory or a device that a rename would
    // replace. A symlink is followed, so the file it names gets the result.
    if (job.output.empty()) return fail("no output file given");
    std::string dest = job.output;
    mode_t dest_mode = 0;
    bool keep_mode = false;
    struct stat out_lst {};
    if (lstat(job.output.c_str(), &out_lst) == 0) {
        struct stat out_st {};
        if (stat(job.output.c_str(), &out_st) == 0) {
            if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
                return fail("output " + quoted(job.output) + " is the same file as the input");
            }
            if (S_ISDIR(out_st.st_mode)) {
                return fail("output " + quoted(job.output) + " is a directory");
            }
            if (!S_ISREG(out_st.st_mode)) {
                return fail("output " + quoted(job.output) + " is not a regular file");
            }
            // Replacing is a rename, which the folder allows even when the
            // file itself is read-only; honour the file's protection.
            if (access(dest.c_str(), W_OK) != 0) {
                return fail("cannot write output " + quoted(job.output) + ": " +
                            std::strerror(errno));
            }
            dest_mode = out_st.st_mode & 07777;
            keep_mode = true;
            if (S_ISLNK(out_lst.st_mode)) {
                char* real = realpath(job.output.c_str(), nullptr);
                if (real) {
                    dest = real;
                    std::free(real);
                }
            }
        }
    }

    SF_INFO info{};
    Sndfile in(sf_open(job.input.c_str(), SFM_READ, &info));
    if (!in) {
        int code = sf_error(nullptr);
        std::string why = sf_strerror(nullptr);
        if (code == SF_ERR_UNRECOGNISED_FORMAT) {
            return fail("input " + quoted(job.input) + " is not in a supported audio format (" +
                        oneLine(why) + ")");
        }
        if (code == SF_ERR_SYSTEM) {
            return fail("cannot read input " + quoted(job.input) + ": " + why);
        }
        // Everything else is a header libsndfile recognised but could not
        // make sense of: a damaged file, or one cut off within its header.
        return fail("input " + quoted(job.input) + " is damaged or truncated (" + oneLine(why) +
                    ")");
    }
    if (logShowsTruncation(in.get())) {
        return fail("input " + quoted(job.input) +
                    " is truncated: the file ends before its audio does");
    }
    r.rate = info.samplerate;
    r.channels = info.channels;

    std::string why;
    auto denoiser = StreamDenoiser::create(info.samplerate, info.channels, job.factory, &why);
    if (!denoiser) return fail("input " + quoted(job.input) + ": " + why);

    const int out_format =
        chooseOutputFormat(info.format, job.output, info.samplerate, info.channels);
    if (out_format == 0) {
        return fail("cannot write output " + quoted(job.output) + ": no writable format for " +
                    std::to_string(info.channels) + " channels at " +
                    std::to_string(info.samplerate) + " Hz (try a .wav or .flac name)");
    }

    TempFile tmp;
    {
        std::string templ = dirName(dest) + "/." + baseName(dest) + ".XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        tmp.fd = mkstemp(buf.data());
        if (tmp.fd < 0) {
            return fail("cannot write output " + quoted(job.output) + ": " + std::strerror(errno));
        }
        tmp.path = buf.data();
        if (!keep_mode) {
            mode_t mask = umask(0);
            umask(mask);
            dest_mode = 0666 & ~mask;
        }
        fchmod(tmp.fd, dest_mode);
    }

    SF_INFO out_info{};
    out_info.samplerate = info.samplerate;
    out_info.channels = info.channels;
    out_info.format = out_format;
    Sndfile out(sf_open_fd(tmp.fd, SFM_WRITE, &out_info, SF_FALSE));
    if (!out) {
        return fail("cannot write output " + quoted(job.output) + ": " + sf_strerror(nullptr));
    }
    // Floating-point samples slightly beyond full scale must clip, not wrap,
    // when written as integers.
    sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    for (int s = SF_STR_FIRST; s <= SF_STR_LAST; ++s) {
        if (const char* text = sf_get_string(in.get(), s)) sf_set_string(out.get(), s, text);
    }

    const int64_t total = info.frames == SF_COUNT_MAX ? -1 : static_cast<int64_t>(info.frames);
    const size_t chunk = job.chunk_frames ? job.chunk_frames : 4096;
    std::vector<float> buf(chunk * static_cast<size_t>(info.channels));
    std::vector<float> cleaned;
    cleaned.reserve(buf.size() + 8192);
    int64_t done = 0, written = 0;

    auto write = [&]() -> bool {
        sf_count_t frames = static_cast<sf_count_t>(cleaned.size() / info.channels);
        if (frames == 0) return true;
        if (sf_writef_float(out.get(), cleaned.data(), frames) != frames) return false;
        written += frames;
        cleaned.clear();
        return true;
    };
    auto writeError = [&]() {
        return fail("cannot write output " + quoted(job.output) + ": " + sf_strerror(out.get()));
    };

    for (;;) {
        if (job.cancel && job.cancel->load()) {
            r.cancelled = true;
            return fail("interrupted; " + quoted(job.output) + " was not written");
        }
        sf_count_t n = sf_readf_float(in.get(), buf.data(), static_cast<sf_count_t>(chunk));
        if (n <= 0) break;
        denoiser->push(buf.data(), static_cast<size_t>(n), cleaned);
        if (!write()) return writeError();
        done += n;
        if (job.progress) job.progress(done, total, info.samplerate);
    }
    if (int code = sf_error(in.get()); code != SF_ERR_NO_ERROR) {
        if (code == SF_ERR_SYSTEM) {
            return fail("cannot read input " + quoted(job.input) + ": " + sf_strerror(in.get()));
        }
        return fail("input " + quoted(job.input) + " is damaged or truncated (" +
                    oneLine(sf_strerror(in.get())) + ")");
    }
    if ((total >= 0 && done < total) || logShowsTruncation(in.get())) {
        return fail("input " + quoted(job.input) + " is truncated: read " + std::to_string(done) +
                    " of " + std::to_string(total < 0 ? done : total) + " frames");
    }
    if (!denoiser->finish(cleaned)) return fail("internal error: the denoiser did not drain");
    if (!write()) return writeError();
    if (written != done) return fail("internal error: output length differs from input");

    if (int code = sf_close(out.release()); code != 0) {
        return fail("cannot write output " + quoted(job.output) + ": " + sf_error_number(code));
    }
    if (fsync(tmp.fd) != 0 || close(tmp.fd) != 0) {
        tmp.fd = -1;
        return fail("cannot write output " + quoted(job.output) + ": " + std::strerror(errno));
    }
    tmp.fd = -1;
    if (rename(tmp.path.c_str(), dest.c_str()) != 0) {
        return fail("cannot write output " + quoted(job.output) + ": " + std::strerror(errno));
    }
    tmp.committed = true;
    int dir = open(dirName(dest).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }

    r.ok = true;
    r.frames = done;
    r.audio_seconds = info.samplerate > 0 ? static_cast<double>(done) / info.samplerate : 0.0;
    r.wall_seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return r;
}

}  // namespace sonvale::denoise
