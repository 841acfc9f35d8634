#pragma once
// Wave output and input devices as the core sees them: a device plays or fills data blocks
// described by wave headers and reports each block it is finished with as a message to the
// window that opened it. The real devices (PortAudio) live in the devices library and are
// installed with setwavesys(); without one installed no device opens.
//
// Hand-over of a block: the program owns a block while its header is marked WHDR_DONE; write()
// or add() gives it to the device (WHDR_INQUEUE). An input block is marked done again, with a
// release store, once the device has filled it, and only then is MM_WIM_DATA posted with lParam =
// the header. An output block the device has played is marked done on the user-interface thread
// right before its MM_WOM_DONE (lParam = the header) is handled: until then a refill neither
// reuses it nor takes it for the end of the file. Blocks are played or filled in the order given.
#include <atomic>
#include <cstdint>
#include <memory>

class Cwindow;

enum : uint32_t {
    WHDR_DONE = 0x01,      // the program owns the block
    WHDR_INQUEUE = 0x10,   // the device owns the block
};

struct Wavehdr {
    std::unique_ptr<uint8_t[]> data;   // the data block; null while no device is open
    uint32_t buflen = 0;               // bytes to play (output) or room to fill (input)
    uint32_t recorded = 0;             // bytes the input device wrote into the block
    uint64_t order = 0;                // input: position of this block among those returned
    std::atomic<uint32_t> flags{0};

    bool done() const { return flags.load(std::memory_order_acquire) & WHDR_DONE; }
    // Frees the block and zeroes the header.
    void clear()
    {
        data.reset();
        buflen = recorded = 0;
        order = 0;
        flags.store(0, std::memory_order_release);
    }
};

// Sample format of a stream: interleaved signed 16-bit (or unsigned 8-bit) samples.
struct Waveformat {
    uint32_t rate = 44100;
    uint16_t channels = 2;
    uint16_t bits = 16;
};

// One open wave stream, output or input. All calls come from the user-interface thread; the
// device's own thread only moves data and posts messages.
class Cwavedev {
public:
    virtual ~Cwavedev() = default;
    // Output: queues the block for playing h.buflen bytes. False when the device refused it.
    virtual bool write(Wavehdr& h) = 0;
    // Input: queues the block for filling h.buflen bytes. False when the device refused it.
    virtual bool add(Wavehdr& h) = 0;
    // Input: starts recording into the queued blocks.
    virtual bool start() = 0;
    // Stops the device at once; every queued block comes back marked done with its message
    // posted (input blocks with what was recorded so far in `recorded`).
    virtual void reset() = 0;
    // Resets, closes the stream and posts MM_WOM_CLOSE or MM_WIM_CLOSE.
    virtual void close() = 0;
};

// What a pulled stream plays: the device's callback asks it for each period's frames. render()
// runs on the device's own thread and must never lock, allocate or wait.
class Crenderer {
public:
    virtual ~Crenderer() = default;
    // Fills frames interleaved frames of the stream's format.
    virtual void render(int16_t* out, int frames) = 0;
};

// An open pulled output stream: it plays until it is destroyed.
class Cstream {
public:
    virtual ~Cstream() = default;   // stops the callback, then closes the stream
    // The device's output latency in seconds, as the device reports it.
    virtual double latency() const = 0;
};

// Opens devices. Index i is the i-th device with output (input) channels in the system's order;
// -1 is the system's default device. A stream that opened posts MM_WOM_OPEN or MM_WIM_OPEN.
class Cwavesys {
public:
    virtual ~Cwavesys() = default;
    virtual std::unique_ptr<Cwavedev> openout(int device, const Waveformat& fmt, Cwindow* w) = 0;
    virtual std::unique_ptr<Cwavedev> openin(int device, const Waveformat& fmt, Cwindow* w) = 0;
    // Opens output device `device` as a stream that pulls `period` frames at a time from r
    // (r outlives the stream); null when the device cannot be opened. A device system without
    // pulled streams opens none.
    virtual std::unique_ptr<Cstream> openstream(int, const Waveformat&, int, Crenderer&)
    {
        return nullptr;
    }
};

// Installs the process's wave devices and returns the previous ones (null: none).
Cwavesys* setwavesys(Cwavesys* sys);
Cwavesys* wavesys();
