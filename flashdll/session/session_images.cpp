#include "flashdll/session/session_images.h"

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/image_file_job.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/image/srec_writer.h"
#include "flashdll/link/serial.h"
#include "flashdll/session/session.h"

int AllocImageBuffers(Session* session) {
    const PlatformRecord& platform = session->platform;
    const bool ok = SetSingleArea(&session->setupLoaderImage, platform.setupLoaderBase, kSetupLoaderAreaSize) &&
                    SetSingleArea(&session->flashLoaderImage, platform.flashLoaderBase, kFlashLoaderAreaSize) &&
                    AllocateAreas(&session->setupLoaderImage) && AllocateAreas(&session->flashLoaderImage) &&
                    AllocateAreas(&session->userImage);
    if (!ok) {
        FreeImageBuffers(session);
        return 0;
    }
    return 1;
}

void FreeImageBuffers(Session* session) {
    FreeAreas(&session->setupLoaderImage);
    FreeAreas(&session->flashLoaderImage);
    FreeAreas(&session->userImage);
}

void ResetImageBuffers(Session* session) {
    ResetBuffer(&session->setupLoaderImage);
    ResetBuffer(&session->flashLoaderImage);
    ResetBuffer(&session->userImage);
}

namespace {

int SessionAbortRequested(void* context) { return AbortRequested(static_cast<Session*>(context)); }

}  // namespace

ImageFileJob ImageFileJobOf(Session* session) {
    return ImageFileJob{&session->options, ReporterOf(session), SessionAbortRequested, session};
}

uint32_t LoadSRecordFile(Session* session, ImageBuffer* buffer, const char* path, int rangeCheck) {
    return LoadSRecordFile(ImageFileJobOf(session), buffer, path, rangeCheck);
}

uint32_t SaveSRecordFile(Session* session, const ImageBuffer* buffer) {
    return SaveSRecordFile(ImageFileJobOf(session), buffer);
}
