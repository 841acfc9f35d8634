#pragma once
// What the tests of the playback engine and of the take share: a context with a small sample
// store, a folder of small MIDI and WAVE files and no sound devices (Songfiles), the message
// boxes captured, and an owner window that lets the devices' messages fall.
#include "app/Fixtures.h"
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

struct Playfixture : ::testing::Test, Songfiles {
    Ccontext ctx{uint64_t(1) << 26};
    Boxes boxes;
    struct Owner : Cwindow {
        void handle(unsigned, uintptr_t, intptr_t) override {}
    } owner;
};
