// Link to the companion virtual audio driver: finding its device interface,
// opening it, and the two requests that carry PCM.
//
// Payload in both directions: interleaved stereo, signed 16-bit little-endian,
// 48000 frames per second, 4 bytes a frame, no header.
//
// Windows: the driver's device interface is found with SetupAPI by its class
// GUID, opened with CreateFileW and driven with DeviceIoControl.
// Linux: the "device interface" is a per-user runtime directory named after
// the same GUID that holds two FIFOs of PulseAudio pipe modules (see
// scripts/sonvale-driver): writes go to the virtual microphone's FIFO, reads
// come from the virtual speaker's FIFO.
//
// Threads: writePcm and readPcm may run at the same time on two threads (the
// capture loop writes, the play loop reads); each must not be called from two
// threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sonvale {

// Interface class GUID of the driver.
inline constexpr wchar_t kDriverInterfaceGuid[] = L"{A918DC47-8798-45A3-8351-CBF0AB47208A}";

// I/O control codes: FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS, METHOD_NEITHER.
inline constexpr std::uint32_t kIoctlMicPcmWrite = 0x22003B;     // function 0x00E
inline constexpr std::uint32_t kIoctlSpeakerPcmRead = 0x22004F;  // function 0x013

inline constexpr std::uint32_t kDriverFrameBytes = 4;          // stereo, 16-bit
inline constexpr std::uint32_t kDriverWriteChunkBytes = 1920;  // 480 frames, 10 ms
inline constexpr std::uint32_t kDriverReadAreaBytes = 38400;   // 9600 frames, 200 ms
inline constexpr std::size_t kDriverPathCapacity = 1024;       // units, terminator included

#ifndef _WIN32
// File names of the two FIFOs inside the Linux interface directory.
inline constexpr char kSpeakerFifoName[] = "speaker.fifo";
inline constexpr char kMicrophoneFifoName[] = "microphone.fifo";
// Environment variable that, when set, names the interface directory instead
// of the per-user default (used by tests and by scripts/sonvale-driver).
inline constexpr char kDriverDirEnv[] = "SONVALE_DRIVER_DIR";
// The interface directory: $SONVALE_DRIVER_DIR, else
// $XDG_RUNTIME_DIR/sonvale-{GUID}, else /tmp/sonvale-<uid>-{GUID}.
std::string driverInterfaceDirectory();
#endif

// Looks up interface `memberIndex` (the program passes 0) of the driver's
// class and writes its device path, zero-terminated, into `destination` of
// `capacity` units. Returns false when there is no such interface or when the
// path with its terminator would not fit (nothing is written past
// `capacity`). When the lookup itself cannot start it prints
// "No HDEVINFO available for this GUID\n" to standard output.
bool findDriverInterface(wchar_t* destination, int memberIndex,
                         std::size_t capacity = kDriverPathCapacity);

// Copies a device path of `length` units into `destination` of `capacity`
// units and terminates it. Refuses (false, nothing written) an empty path or
// one that would not fit with its terminator. Both backends copy through it.
bool copyDevicePath(const wchar_t* path, std::size_t length, wchar_t* destination,
                    std::size_t capacity);

class DriverDevice {
public:
    DriverDevice();
    ~DriverDevice();  // closes what open() opened

    DriverDevice(const DriverDevice&) = delete;
    DriverDevice& operator=(const DriverDevice&) = delete;

    // Opens the device at `path` (from findDriverInterface). Returns whether it
    // can be used; a device that failed to open makes every request fail.
    bool open(const wchar_t* path);
    bool isOpen() const;

    // Hands `length` bytes of PCM to the virtual microphone. Never blocks for
    // long and never raises SIGPIPE. Returns whether the device took the chunk
    // (Linux: all of it; a write is given up after a few milliseconds without
    // room); `bytesReturned` is what the device reports taking (Linux: the
    // bytes written, in whole pieces so no frame is split).
    bool writePcm(const void* data, std::uint32_t length, std::uint32_t* bytesReturned);

    // Bytes of microphone audio the device link dropped so far (Linux: chunks
    // that did not fit the FIFO, and standing backlog cut out of it; each
    // loss is also logged to stderr, at most one line every two seconds).
    // Any thread may ask.
    std::uint64_t micDroppedBytes() const { return micDroppedBytes_.load(); }

    // Fetches what the virtual speaker holds, up to `capacity` bytes, in whole
    // 4-byte frames; `bytesReturned` is 0 when nothing waits. When nothing
    // waits and `waitForData` is set it waits for data up to a few tens of
    // milliseconds (Linux: 40), so that a polling caller neither spins nor
    // delays audio; a caller that has audio enough to go on with passes false
    // and is not held up. Returns false when the device is not usable.
    bool readPcm(void* area, std::uint32_t capacity, std::uint32_t* bytesReturned,
                 bool waitForData = true);

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // HANDLE; INVALID_HANDLE_VALUE after a failed open
#else
    // A cut out of a stream, in frames: faded out, skipped, faded back in.
    struct Cut {
        std::uint32_t fadeOut = 0, skip = 0, fadeIn = 0;
        bool active() const { return fadeOut + skip + fadeIn > 0; }
    };
    // The lowest backlog of a FIFO seen in the current window.
    struct BacklogWatch {
        long long windowStartMs = 0;
        std::uint32_t trough = 0;
    };
    // Losses of one direction not logged yet (what happened since the last
    // line; a summary that waits goes out with the next loss).
    struct LossLog {
        std::atomic<std::uint64_t>* total;
        bool refusing = false;  // chunks are being refused right now
        unsigned cuts = 0, refusals = 0;
        std::uint64_t cutBytes = 0, refusedBytes = 0;
        long long lastLogMs = -1000000;  // long before the first loss
    };
    static std::uint32_t applyCut(Cut& cut, const unsigned char* in, std::uint32_t frames,
                                  unsigned char* out);
    static std::uint32_t standingExcess(BacklogWatch& watch, std::uint32_t backlog,
                                        std::uint32_t target);
    static void noteLoss(LossLog& log, const char* device, std::uint32_t bytes, bool cut);
    static void flushLossLog(LossLog& log, const char* device, long long nowMs);
    static void endRefusals(LossLog& log, const char* device);
    bool writeMicBytes(const void* data, std::uint32_t length, std::uint32_t* bytesReturned);
    bool reopenMicrophone();
    bool micFifoReplaced() const;
    bool reopenSpeaker();
    void shrinkSpeakerPipe();

    std::string directory_;          // empty until open()
    int micFd_ = -1;                 // write end of the microphone FIFO
    int speakerFd_ = -1;             // read end of the speaker FIFO
    bool micStalled_ = false;        // the last write found no room: do not wait again
    bool opened_ = false;            // open() succeeded once
    bool speakerPipeSmall_ = false;  // the speaker FIFO holds at most kSpeakerPipeBytes
    unsigned char pending_[kDriverFrameBytes] = {};  // partial frame from the last read
    std::uint32_t pendingBytes_ = 0;
    BacklogWatch micWatch_;
    Cut micCut_;
    LossLog micLog_{&micDroppedBytes_};
#endif
    std::atomic<std::uint64_t> micDroppedBytes_{0};
};

}  // namespace sonvale
