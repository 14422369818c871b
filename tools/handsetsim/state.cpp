#include "tools/handsetsim/state.h"

namespace handsetsim {

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::BootRom: return "boot ROM";
        case Stage::SetupLoader: return "setup loader";
        case Stage::FlashLoader: return "flash loader";
        case Stage::Halted: return "halted (started a program that never arrived)";
    }
    return "?";
}

size_t RecordCommand(SharedState& shared, CommandRecord record) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    record.at = std::chrono::steady_clock::now();
    size_t uses = ++shared.commandCounts[record.name];
    shared.commands.push_back(std::move(record));
    return uses;
}

void RecordRamWrite(SharedState& shared, RamWrite write) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.ramWrites.push_back(std::move(write));
}

void AddNote(SharedState& shared, const std::string& note) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.notes.push_back(note);
}

}  // namespace handsetsim
