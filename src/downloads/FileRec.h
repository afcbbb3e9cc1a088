// The record of one downloadable file and its states, as the store sends
// them and as the user database keeps them.
#pragma once

#include "settings/Currency.h"

#include <QString>
#include <cmath>
#include <cstdint>

// Ordinals are stored in the database and sent by the store; the store may
// send values outside the named ones, so any byte is kept as it came.
enum TFileType : uint8_t {
    ftOnlineEncode = 0, // encoded by the store on request
    ftMp3VIP = 1,
    ftMp3Free = 2,
    ftVideoVip = 3,
    ftVideoFree = 4,
};

enum TFileState : uint8_t {
    fsEncoding = 0, // the store has not finished encoding; size not yet known
    fsPaused = 1,
    fsQueued = 2,
    fsFinished = 3,
};
inline constexpr int FileStateCount = 4;

enum TDownloadsSort : uint8_t {
    byID = 0,
    byOrderNo = 1,
};

// Column names the downloads are sorted by, per TDownloadsSort.
inline constexpr const char* Sorting[2] = {"ID", "OrderNo"};

struct TFileRec {
    int32_t UniqID = 0;
    TFileType FileType = ftOnlineEncode;
    QString GroupName;
    QString AlbumName;
    uint16_t TrackNum = 0;
    QString SongName;
    uint32_t AlbumYear = 0; // 0 when the store gives none
    QString Format;         // with its offer prefix ("OE ", "VIP ", "FREE ")
    QString FileExtension;  // with its leading "."
    uint32_t FileSize = 0;  // 0 while the store is still encoding
    TCurrency FileCost;
    uint16_t Duration = 0; // seconds
    QString IPPort;        // file server address

    bool operator==(const TFileRec&) const = default;
};
