#include "cli/ProgressView.h"

#include "cli/CliSupport.h"
#include "core/Text.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "sites/StatusTexts.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tlv::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr auto kSpeedWindow = std::chrono::seconds(1);

size_t terminalWidth(std::FILE* out) {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// Cuts a UTF-8 text to `width` characters, never inside a character.
std::string fitWidth(const std::string& text, size_t width) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters == width)
            return text.substr(0, i);
        ++characters;
    }
    return text;
}

void append(std::string& line, const std::string& part) {
    if (part.empty())
        return;
    if (!line.empty())
        line += "  ";
    line += part;
}

} // namespace

std::string FormatBytes(double bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

TProgressView::TProgressView(std::FILE* out, bool live, std::vector<int32_t> siteIDs)
    : m_out(out), m_live(live), m_siteIDs(std::move(siteIDs)) {}

std::vector<TKeltroSite*> TProgressView::sites() const {
    std::vector<TKeltroSite*> list;
    TKeltroSiteManager& manager = TKeltroSiteManager::Instance();
    if (m_siteIDs.empty()) {
        for (TKeltroSite& site : manager.Sites())
            list.push_back(&site);
        return list;
    }
    // Looked up every time: the site list may have been reloaded meanwhile.
    for (int32_t id : m_siteIDs)
        for (TKeltroSite& site : manager.Sites())
            if (site.Definition().SiteID == id) {
                list.push_back(&site);
                break;
            }
    return list;
}

void TProgressView::printNewLogLines(const TKeltroSite& site, Track& track) {
    const std::vector<std::string>& log = site.Log();
    // A new backup run empties the log and starts it again.
    if (track.printedLines > log.size() ||
        (track.printedLines > 0 && log[track.printedLines - 1] != track.lastPrinted))
        track.printedLines = 0;
    if (track.printedLines == log.size())
        return;
    const TKeltroSiteDefinition& d = site.Definition();
    // A line may hold a server's reply over several lines; each printed line carries the name,
    // so that one site's lines can be picked out of many.
    for (size_t i = track.printedLines; i < log.size(); ++i) {
        std::vector<std::string> lines = Split(MaskSecrets(log[i], d), '\n');
        if (lines.size() > 1 && lines.back().empty())
            lines.pop_back();
        for (std::string& line : lines) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::fprintf(m_out, "%s: %s\n", d.SiteName.c_str(), line.c_str());
        }
    }
    track.printedLines = log.size();
    track.lastPrinted = log.back();
    std::fflush(m_out);
}

void TProgressView::measureSpeed(const TKeltroSite& site, Track& track) {
    const TKeltroSiteMetadata& m = site.Metadata();
    const auto now = Clock::now();
    if (m.Status != TSiteStatus::Downloading || m.TotalBytes != track.sampleTotal ||
        m.DownloadedBytes < track.sampleBytes) {
        // Not downloading, or a new file began: measure afresh.
        if (m.Status != TSiteStatus::Downloading || m.TotalBytes != track.sampleTotal)
            track.bytesPerSecond = 0;
        track.sampleBytes = m.DownloadedBytes;
        track.sampleTotal = m.TotalBytes;
        track.sampleTime = now;
        return;
    }
    const auto elapsed = now - track.sampleTime;
    if (elapsed < kSpeedWindow)
        return;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    track.bytesPerSecond = static_cast<double>(m.DownloadedBytes - track.sampleBytes) / seconds;
    track.sampleBytes = m.DownloadedBytes;
    track.sampleTime = now;
}

std::string TProgressView::liveLine(const TKeltroSite& site, const Track& track,
                                    size_t nameWidth) const {
    const TKeltroSiteDefinition& d = site.Definition();
    const TKeltroSiteMetadata& m = site.Metadata();
    std::string line = d.SiteName + std::string(nameWidth - DisplayWidth(d.SiteName), ' ');
    append(line, StatusText(m.Status));
    switch (m.Status) {
    case TSiteStatus::BackupRunning:
        append(line, DomainText(m.Response.Domain));
        append(line, m.Response.Step);
        break;
    case TSiteStatus::Downloading:
        if (m.TotalBytes > 0) {
            const double share = static_cast<double>(m.DownloadedBytes) / m.TotalBytes;
            append(line, std::to_string(std::lround(share * 100)) + "%");
        }
        append(line, FormatBytes(static_cast<double>(m.DownloadedBytes)) + " / " +
                         FormatBytes(static_cast<double>(m.TotalBytes)));
        if (track.bytesPerSecond > 0)
            append(line, FormatBytes(track.bytesPerSecond) + "/s");
        break;
    case TSiteStatus::Failed:
        append(line, MaskSecrets(m.LastError, d));
        break;
    default:
        break;
    }
    return line;
}

void TProgressView::redraw() {
    std::vector<TKeltroSite*> shown;
    for (TKeltroSite* site : sites())
        if (!m_siteIDs.empty() || !site->IsNotBusy())
            shown.push_back(site);
    size_t nameWidth = 0;
    for (const TKeltroSite* site : shown)
        nameWidth = std::max(nameWidth, DisplayWidth(site->Definition().SiteName));

    const size_t width = terminalWidth(m_out);
    std::string lines;
    for (const TKeltroSite* site : shown)
        lines += fitWidth(liveLine(*site, m_tracks[site->Definition().SiteID], nameWidth),
                          width > 1 ? width - 1 : width) +
                 "\n";
    m_lastDraw = Clock::now();
    if (m_notes.empty() && lines == m_drawnText)
        return; // nothing changed on screen

    std::string frame;
    if (m_drawnLines > 0)
        frame += "\r\x1b[" + std::to_string(m_drawnLines) + "A";
    frame += "\r\x1b[J";
    for (const std::string& note : m_notes)
        frame += note + "\n";
    m_notes.clear();
    frame += lines;
    m_drawnLines = shown.size();
    m_drawnText = std::move(lines);
    std::fputs(frame.c_str(), m_out);
    std::fflush(m_out);
}

void TProgressView::Refresh(bool force) {
    for (TKeltroSite* site : sites()) {
        const TKeltroSiteDefinition& d = site->Definition();
        Track& track = m_tracks[d.SiteID];
        const TSiteStatus status = site->Metadata().Status;
        if (m_live) {
            measureSpeed(*site, track);
            // Every site's screen: a site that stops gets a line that stays.
            if (m_siteIDs.empty() && track.seen && !IsNotBusy(track.status) && IsNotBusy(status)) {
                std::string note = d.SiteName + ": " + StatusText(status);
                if (status == TSiteStatus::Failed && !site->Metadata().LastError.empty())
                    note += ": " + MaskSecrets(site->Metadata().LastError, d);
                m_notes.push_back(note);
            }
        } else {
            printNewLogLines(*site, track);
        }
        track.status = status;
        track.seen = true;
    }
    if (m_live && (force || !m_notes.empty() || Clock::now() - m_lastDraw >= kRedrawInterval))
        redraw();
}

void TProgressView::Note(const std::string& line) {
    if (m_live) {
        m_notes.push_back(line);
        redraw();
    } else {
        std::fprintf(m_out, "%s\n", line.c_str());
        std::fflush(m_out);
    }
}

void TProgressView::Finish() {
    Refresh(true);
    m_drawnLines = 0;
    m_drawnText.clear();
}

} // namespace tlv::cli
