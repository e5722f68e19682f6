#include "KwBcryptTurns.h"

#include <cmath>

double KwBcryptTurns::Decayed(const Record& record, Clock::time_point now) {
    double seconds = std::chrono::duration<double>(now - record.asked).count();
    return seconds > 0 ? record.asks * std::exp2(-seconds) : record.asks;
}

KwBcryptTurns::Record& KwBcryptTurns::Find(const std::string& client, Clock::time_point now) {
    auto found = m_clients.find(client);
    if (found != m_clients.end()) {
        return found->second;
    }
    if (m_clients.size() >= m_capacity && !m_clients.empty()) {
        auto quietest = m_clients.begin();
        for (auto entry = m_clients.begin(); entry != m_clients.end(); ++entry) {
            if (Decayed(entry->second, now) < Decayed(quietest->second, now)) {
                quietest = entry;
            }
        }
        m_clients.erase(quietest);
    }
    Record& record = m_clients[client];
    record.asked = now;
    return record;
}

void KwBcryptTurns::Asked(const std::string& client, Clock::time_point now) {
    Record& record = Find(client, now);
    record.asks = Decayed(record, now) + 1;
    record.asked = now;
}

void KwBcryptTurns::Took(const std::string& client, Clock::time_point now) {
    Find(client, now).lastTurn = now;
}

KwBcryptTurns::Place KwBcryptTurns::PlaceOf(const std::string& client,
                                            Clock::time_point now) const {
    auto found = m_clients.find(client);
    if (found == m_clients.end()) {
        return Place(0, Clock::time_point());
    }
    double asks = Decayed(found->second, now);
    // 0 for fewer than one ask, then 1, 2, 3 ... for [1, 2), [2, 4), [4, 8) ...
    int askClass = asks < 1 ? 0 : 1 + static_cast<int>(std::floor(std::log2(asks)));
    return Place(askClass, found->second.lastTurn);
}
