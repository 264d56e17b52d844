#include "run/RunSentences.h"

#include <cmath>
#include <cstdio>

#include "protocol/Protocol.h"

namespace orlo::run {

namespace {

uint64_t Blocks(uint64_t bytes) {
    return (bytes + BLOCK_SIZE - 1) / BLOCK_SIZE;
}

std::string Count(uint64_t n, uint64_t of) {
    return std::to_string(n) + " of " + std::to_string(of) + (of == 1 ? " block" : " blocks");
}

std::string ShaText(std::string_view hex) {
    return std::string(hex.substr(0, kShaPrefix));
}

}  // namespace

std::string StoppedProgrammingSentence(const StepReach& reach, std::string_view failedPhase) {
    const std::string region = "The " + reach.region + " region";
    const uint64_t total = Blocks(reach.total);
    // The last block counted was sent but not answered.
    const uint64_t answered = reach.done > 0 ? Blocks(reach.done) - 1 : 0;
    if (failedPhase == "finish")
        return "The " + reach.region +
               " image is written and verified, but the device did not confirm the finish: "
               "program it again to be sure it starts.";
    if (reach.phase == "Verifying")
        return region + " holds every block written, but only " + Count(answered, total) +
               " were verified: program it again.";
    if (reach.phase == "Programming")
        return region + " is incomplete (" + Count(answered, total) +
               " written, none verified): program it again.";
    if (failedPhase == "start")
        return region +
               " was not written, though the device may have erased it when it took "
               "the start frame: program it again.";
    return {};
}

std::string ElapsedText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    char buffer[32];
    if (seconds < 59.95) {
        std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
    } else {
        const auto total = static_cast<unsigned long long>(std::llround(seconds));
        if (total >= 3600)
            std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu", total / 3600,
                          (total / 60) % 60, total % 60);
        else
            std::snprintf(buffer, sizeof buffer, "%llu:%02llu", total / 60, total % 60);
    }
    return buffer;
}

std::string ProgrammedSentence(uint64_t bytes, double seconds, std::string_view sha256Hex) {
    std::string s =
        "Programmed and verified " + std::to_string(bytes) + " bytes in " + ElapsedText(seconds);
    if (!sha256Hex.empty()) s += "; image SHA-256 " + ShaText(sha256Hex);
    return s + ".";
}

std::string ReadSentence(uint64_t bytes, double seconds, std::string_view sha256Hex) {
    std::string s = "Read " + std::to_string(bytes) + " bytes in " + ElapsedText(seconds);
    if (!sha256Hex.empty()) s += "; SHA-256 " + ShaText(sha256Hex);
    return s + ".";
}

}  // namespace orlo::run
