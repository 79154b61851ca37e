#pragma once

#include "CountingStream.h"
#include "IdTCPConnection.h"
#include "MemoryIOHandler.h"

#include <cstdint>
#include <string>
#include <vector>

// A connection over a scripted in-memory handler, recording its events.
struct TConnectionKit {
    TIdTCPConnection Conn;
    TIdMemoryIOHandler Handler;
    std::vector<std::string> Events;

    TConnectionKit() {
        Conn.SetIOHandler(&Handler);
        Conn.OnWorkBegin = [this](TIdComponent*, TWorkMode m, int64_t max) {
            Events.push_back(Mode(m) + "begin " + std::to_string(max));
        };
        Conn.OnWork = [this](TIdComponent*, TWorkMode m, int64_t count) {
            Events.push_back(Mode(m) + std::to_string(count));
        };
        Conn.OnWorkEnd = [this](TIdComponent*, TWorkMode m) { Events.push_back(Mode(m) + "end"); };
        Conn.OnStatus = [this](TIdComponent*, TIdStatus, const std::string& text) {
            Events.push_back("status " + text);
        };
        Conn.OnDisconnected = [this](TIdComponent*) { Events.push_back("disconnected"); };
    }
    static std::string Mode(TWorkMode AMode) { return AMode == wmRead ? "r " : "w "; }
    std::string Unread() {
        return std::string(Conn.ReceivedData().DataStart(),
                           static_cast<size_t>(Conn.ReceivedData().Size()));
    }
};
