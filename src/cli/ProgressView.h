#pragma once

#include "sites/KeltroTypes.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tlv {
class TKeltroSite;
}

namespace tlv::cli {

// Shows what the engine's sites are doing while a command runs it. On a terminal: one live line
// per site (state, backup stage and step, download percentage and speed), redrawn in place.
// Otherwise (a pipe, a file, cron's mail): the sites' log lines as they come, each behind the
// site's name. Passwords are masked in everything shown. Main thread.
class TProgressView {
public:
    // `siteIDs`: the sites to show, each with a line of its own. Empty: every site of the site
    // manager, with a line while it is busy and a note when it stops.
    TProgressView(std::FILE* out, bool live, std::vector<int32_t> siteIDs);

    // Shows what changed. Cheap enough to call on every pass of the loop; a terminal is redrawn
    // at most five times a second unless `force`.
    void Refresh(bool force = false);

    // A line that stays, printed above the live lines.
    void Note(const std::string& line);

    // Final state on screen; the live lines stay where they are.
    void Finish();

private:
    struct Track {
        size_t printedLines = 0; // log lines already printed
        std::string lastPrinted;
        TSiteStatus status = TSiteStatus::Idle;
        bool seen = false;
        // Download speed, measured over windows of about a second.
        int64_t sampleBytes = 0;
        int64_t sampleTotal = 0;
        std::chrono::steady_clock::time_point sampleTime;
        double bytesPerSecond = 0;
    };

    std::vector<TKeltroSite*> sites() const;
    void printNewLogLines(const TKeltroSite& site, Track& track);
    void measureSpeed(const TKeltroSite& site, Track& track);
    std::string liveLine(const TKeltroSite& site, const Track& track, size_t nameWidth) const;
    void redraw();

    std::FILE* m_out;
    bool m_live;
    std::vector<int32_t> m_siteIDs;
    std::map<int32_t, Track> m_tracks;
    std::vector<std::string> m_notes; // waiting to be printed above the live lines
    size_t m_drawnLines = 0;
    std::string m_drawnText; // the live lines on screen now
    std::chrono::steady_clock::time_point m_lastDraw;
};

// "12.3 MB", "512 B": a byte count for people.
std::string FormatBytes(double bytes);

} // namespace tlv::cli
