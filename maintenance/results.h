// The results of the maintenance layer: what a block download ends with,
// what makes a charge fail, and where the TLA update preparation leaves
// charge. Each set is its own type, so that no variable mixes them.
#pragma once

#include <cstdint>

namespace korva {

enum class DownloadResult : uint8_t {
    OK = 0,
    FAILED = 1,          // unanswered, or erase named another block
    SEQUENCE_ERROR = 5,  // refused, naming another sequence number
    CHECKSUM_ERROR = 6,  // the reader's checksum differs
};

// Why a charge stops. REFUSED stops before anything more is sent; the
// reader's errors of a finished download let the part be validated first.
enum class ChargeFailure : uint8_t {
    NONE = 0,
    REFUSED = 1,         // image, download, signature or TLA preparation refused
    SEQUENCE_ERROR = 5,  // the download ended on the reader's sequence error
    CHECKSUM_ERROR = 6,  // the download ended on a checksum difference
};

constexpr ChargeFailure charge_failure(DownloadResult result) {
    switch (result) {
        case DownloadResult::OK:
            return ChargeFailure::NONE;
        case DownloadResult::SEQUENCE_ERROR:
            return ChargeFailure::SEQUENCE_ERROR;
        case DownloadResult::CHECKSUM_ERROR:
            return ChargeFailure::CHECKSUM_ERROR;
        case DownloadResult::FAILED:
            break;
    }
    return ChargeFailure::REFUSED;
}

// Where the TLA update preparation leaves charge.
enum class TlaPreparation : uint8_t {
    END_COMMAND,  // charge ends here
    REFUSED,      // charge goes on with ChargeFailure::REFUSED
    READY,        // charge goes on with nothing failed
};

}  // namespace korva
