#pragma once
// One event of a track: a node of the track's doubly linked list with its absolute tick.
// The accessors answer for every kind so that consumers can walk a track without casts; the
// base answers 0 (or null) for everything but the kind.
//
// kind: 0 channel message, 1 system exclusive, 2 meta event.
#include <cstdint>

class Cmidiev {
public:
    explicit Cmidiev(int32_t tick) : time(tick) {}
    virtual ~Cmidiev();
    Cmidiev(const Cmidiev&) = delete;
    Cmidiev& operator=(const Cmidiev&) = delete;

    virtual int kind() const = 0;
    virtual int status() const { return 0; }
    virtual int command() const { return 0; }
    virtual int channel() const { return 0; }
    virtual int data1() const { return 0; }
    virtual int data2() const { return 0; }
    virtual const uint8_t* data() const { return nullptr; }
    virtual int32_t length() const { return 0; }
    virtual int metatype() const { return 0; }
    virtual uint32_t tempo() const { return 0; }   // microseconds per quarter note

    Cmidiev* next = nullptr;
    Cmidiev* prev = nullptr;
    int32_t time = 0;   // ticks from the start of the track
};
