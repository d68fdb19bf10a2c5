#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Each fuzz target defines the libFuzzer entry point; ReplayMain.cpp feeds it
// stored inputs in the ordinary test run.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

inline QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// A property of the code under test does not hold: stop with a report, which
// both libFuzzer and the replay test take as a failure.
[[noreturn]] void fuzzFail(const char* what);
