#include "support/handset_session.h"

#include <stdlib.h>

#include <chrono>
#include <cstring>

namespace testing_support {

void FillImage(ImageBuffer* image, std::vector<uint8_t>* storage, uint32_t base,
               uint32_t areaSize, const std::vector<LoaderRegion>& regions) {
    storage->assign(areaSize, 0xFF);
    image->areaCount = 1;
    image->areas[0] = {base, base + areaSize - 1, storage->data()};
    image->regionCount = static_cast<uint32_t>(regions.size());
    for (size_t i = 0; i < regions.size(); ++i) {
        const LoaderRegion& region = regions[i];
        std::memcpy(storage->data() + (region.address - base), region.bytes.data(), region.bytes.size());
        image->regions[i] = {region.address, region.address + static_cast<uint32_t>(region.bytes.size()) - 1};
    }
}

HandsetSession::~HandsetSession() {
    if (aborter_.joinable()) {
        aborter_.join();
    }
    if (session_ != nullptr) {
        ComCloseAll(session_.get());
    }
    if (handset_ != nullptr) {
        handset_->Stop();
    }
}

bool HandsetSession::Start(const handsetsim::Scenario& scenario, uint32_t readTimeoutMs,
                           std::string* error) {
    handset_ = handsetsim::Handset::Start(scenario, error);
    if (handset_ == nullptr) {
        return false;
    }
    setenv("FLASHDLL_COM1", handset_->UartPath(0).c_str(), 1);
    BuildComNameTable();
    host_.InstallCallbacks();
    session_ = std::make_unique<Session>();
    session_->host = &host_.descriptor;
    session_->options.debug = 1;
    session_->options.com[0] = 0;
    session_->options.com[1] = FLASH_NO_PORT;
    session_->portCount = 1;
    if (ComOpen(session_.get(), 0, 0, 115200, readTimeoutMs) != 1) {
        *error = "ComOpen failed: " + host_.Transcript();
        return false;
    }
    host_.Clear();
    return true;
}

void HandsetSession::SetImage(ImageBuffer* image, uint32_t base, uint32_t areaSize,
                              const std::vector<LoaderRegion>& regions) {
    areaData_.push_back(std::make_unique<std::vector<uint8_t>>());
    FillImage(image, areaData_.back().get(), base, areaSize, regions);
}

void HandsetSession::AbortAfter(uint32_t ms) {
    Session* session = session_.get();
    aborter_ = std::thread([session, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        session->run.abortFlag.store(1);
    });
}

std::vector<std::string> HandsetSession::LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& text : host_.Messages()) {
        if (text.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(text);
        }
    }
    return lines;
}

}  // namespace testing_support
