// What the handset holds and has seen, shared between the handset's logic
// thread and the thread that inspects it (a test, the program), and the
// context every stage of the handset runs with.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/handsetsim/file_store.h"
#include "tools/handsetsim/flash_model.h"
#include "tools/handsetsim/handsetsim.h"

namespace handsetsim {

class Lines;

// The program the handset runs.
enum class Stage { BootRom, SetupLoader, FlashLoader, Halted };

const char* StageName(Stage stage);

struct SharedState {
    mutable std::mutex mutex;  // guards everything below
    std::vector<CommandRecord> commands;
    std::map<std::string, size_t> commandCounts;
    std::vector<RamWrite> ramWrites;
    FlashModel flash;
    FileStore files;
    Stage stage = Stage::BootRom;
    bool flashLoaderRunning = false;
    std::vector<std::string> notes;  // things worth a line in the report (a file not saved ...)
};

struct Context {
    const Scenario& scenario;
    Lines& lines;
    SharedState& shared;
    uint32_t bootUart;  // the UART the boot ROM and the setup loader use
};

// Records a command frame and returns how often a command of that name has
// come so far, this one included (1 for the first).
size_t RecordCommand(SharedState& shared, CommandRecord record);
void RecordRamWrite(SharedState& shared, RamWrite write);
void AddNote(SharedState& shared, const std::string& note);

// The stages. Each runs until its program hands over to the next one (the
// stage returned) or until the lines are interrupted.
Stage RunPassiveLoader(Context& context, Stage stage);  // BootRom or SetupLoader
Stage RunActiveRom(Context& context);
Stage RunFlashLoader(Context& context);

}  // namespace handsetsim
