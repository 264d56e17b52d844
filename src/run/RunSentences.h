// The sentences that end a programming or read-back run, the same in every front-end: what a
// region holds after its programming stopped short and what to do about it, and the line that
// completes a run (bytes, time, SHA-256). Written as sentences; the command line turns the
// failure into a clause of its own messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlo::run {

// How far a programming step got, as its last progress showed it.
struct StepReach {
    std::string region;  // "application", "voice", "map", "user"
    std::string phase;   // "Programming", "Verifying"; empty: no block had gone out
    uint64_t done = 0;   // bytes of that phase sent (the last block sent not yet answered)
    uint64_t total = 0;  // bytes of the image
};

// One sentence for a programming run that stopped before it completed, after its start frame
// went out: what the region now holds and what to do. `failedPhase` is the phase of the
// frame last sent ("start", "write", "verify", "finish"; empty when unknown). Empty when the
// run never began writing (nothing was sent).
std::string StoppedProgrammingSentence(const StepReach& reach, std::string_view failedPhase);

// "24.1 s" below a minute, "6:07" above.
std::string ElapsedText(double seconds);

// "Programmed and verified 100000 bytes in 24.1 s; image SHA-256 5f3a9c2e1b7d."
std::string ProgrammedSentence(uint64_t bytes, double seconds, std::string_view sha256Hex);
// "Read 241664 bytes in 23.2 s; SHA-256 9ad01fe2c3b4."
std::string ReadSentence(uint64_t bytes, double seconds, std::string_view sha256Hex);

// The first 12 hex digits of a SHA-256: enough to tell images apart by eye.
constexpr std::size_t kShaPrefix = 12;

}  // namespace orlo::run
