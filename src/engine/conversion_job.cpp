#include "engine/conversion_job.h"

#include <new>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/exif_step.h"
#include "engine/mask_language.h"
#include "engine/output_encoding.h"
#include "engine/output_naming.h"
#include "engine/text_stamp.h"
#include "engine/resize_planning.h"
#include "engine/source_loading.h"

namespace zelvan {

std::string ErrorLine(const std::string& code, const std::string& path, const std::string& message) {
    return code + path + ": " + message;
}

TConversionThread::TConversionThread(const JobEnvironment& environment) : env_(environment) {}

TConversionThread::~TConversionThread() {
    if (thread_.joinable()) thread_.join();
}

void TConversionThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TConversionThread::Report(const std::string& code, const std::string& path, const std::string& message) {
    env_.errors->AppendLine(ErrorLine(code, path, message));
}

void TConversionThread::Execute() {
    try {
        RunSteps();
    } catch (...) {
        // A failure no step reports (out of memory in an unexpected place) ends the job; it
        // still counts as processed below.
    }
    env_.run->ProcessedCount.fetch_add(1);
    Completed.store(true, std::memory_order_release);
}

// The steps in order; returns false where the job ends early.
bool TConversionThread::RunSteps() {
    const ConversionOptions& options = *env_.options;

    // 1. An existing output blocks the job unless overwriting is allowed. The test uses the
    //    path as the scheduler built it, before any renaming or change of extension.
    if (!options.Overwrite && FileExists(DestinationPath)) {
        Report("AFO:", SourcePath, "File already exists");
        return false;
    }

    // 2. Load the source; one job at a time uses the decoders and the RAW plug-in.
    LoadedSource loaded;
    try {
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        loaded = LoadSource(SourcePath, env_.rawPluginPath);
    } catch (const LoadFailure& failure) {
        switch (failure.kind()) {
            case LoadFailure::Kind::Picture: Report("AFO:", SourcePath, failure.what()); break;
            case LoadFailure::Kind::RawPlugin: Report("RFO:", SourcePath, failure.what()); break;
            case LoadFailure::Kind::RawLibraryMissing: Report("", DestinationPath, failure.what()); break;
        }
        return false;
    }

    // 3. Sizes are counted in whole KiB; -1 (not measurable) counts 0.
    const std::int64_t sourceKiB = loaded.sourceSize / 1024;
    env_.run->InputKiB.fetch_add(sourceKiB);

    // 4. The working image and its transparency.
    WorkingImageSet images;
    try {
        images = PrepareWorkingImage(std::move(loaded.picture));
    } catch (const Error& e) {
        Report("AFO:", SourcePath, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        Report("AFO:", SourcePath, "not enough memory for the image");
        return false;
    }

    // 5. Lifetime totals.
    env_.lifetime->AllProcessedFiles.fetch_add(1);
    env_.lifetime->AllProcessedBytes.fetch_add(sourceKiB);

    // 6. Resize by the resize mode, outside the job lock. A stretched or percentage resize
    //    that fails is reported and the job goes on with the images unchanged. A failed
    //    proportional fit ends the job; it is reported too, so that the run does not count the
    //    missing output as converted.
    try {
        ResizeWorkingImage(images, options);
    } catch (const ResizeFailure& failure) {
        switch (failure.kind()) {
            case ResizeFailure::Kind::FixedSize: Report("RE1:", DestinationPath, failure.what()); break;
            case ResizeFailure::Kind::Percentage: Report("RE2:", SourcePath, failure.what()); break;
            case ResizeFailure::Kind::Fit: Report("RE1:", DestinationPath, failure.what()); return false;
        }
    }

    const MaskDateConventions dates = env_.maskDates ? *env_.maskDates : MaskDateConventions::System();

    // 7. The text stamp: its EXIF dates are read and the text drawn under the job lock. A
    //    failure here ends the job.
    if (options.Watermark_enable) {
        MaskSubject subject = MaskSubjectOf(SourcePath, DestinationPath, JobNumber, images.image.width(),
                                            images.image.height(), QDateTime::currentDateTime());
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        ExifDateTexts exif = ReadExifDateTexts(SourcePath, dates.display, subject.now);
        subject.exifDate = exif.date;
        subject.exifTime = exif.time;
        DrawTextStamp(images.image,
                      ExpandMask(options.Watermark_text_mask, subject, MaskKind::TextStamp, dates, options.Counter_length),
                      options);
    }

    // 8. The output's name from the rename mask.
    if (options.Rename_enabled) {
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        DestinationPath = RenamedDestinationPath(
            options,
            MaskSubjectOf(SourcePath, DestinationPath, JobNumber, images.image.width(), images.image.height(),
                          QDateTime::currentDateTime()),
            dates);
    }

    // 9. Encode and write; JPEG outputs then carry the source's EXIF block, under the job lock.
    auto stampExif = [&] {
        std::lock_guard<std::mutex> lock(*env_.jobLock);
        StampExif(SourcePath, DestinationPath, QDateTime::currentDateTime());
    };
    if (options.Auto_format) {
        try {
            AutoFormatChoice choice = ChooseAutoFormat(images, options, SourcePath);
            if (choice.winner != AutoFormatChoice::Winner::None) {
                std::string finalPath = ChangeFileExt(DestinationPath, choice.extension);
                bool written = true;
                try {
                    WriteFileAtomically(finalPath, choice.bytes);
                } catch (const Error& e) {
                    // A failed write of the winner is reported and the job goes on.
                    Report("", DestinationPath, e.what());
                    written = false;
                }
                DestinationPath = finalPath;
                // Only a file this job wrote gets EXIF: never an older file at that path.
                if (written && choice.winner == AutoFormatChoice::Winner::Jpeg && options.Exif) stampExif();
            }
        } catch (const Error& e) {
            Report("AFE:", DestinationPath, e.what());
            return false;
        } catch (const std::bad_alloc&) {
            Report("AFE:", DestinationPath, "not enough memory to encode the image");
            return false;
        }
    } else {
        try {
            std::vector<std::uint8_t> bytes = EncodeForExtension(OutputExtension, images, options);
            if (!bytes.empty()) {
                WriteFileAtomically(DestinationPath, bytes);
                if (OutputExtension == "JPG" && options.Exif) stampExif();
            }
        } catch (const Error& e) {
            Report("FSE:", DestinationPath, e.what());
            return false;
        } catch (const std::bad_alloc&) {
            Report("FSE:", DestinationPath, "not enough memory to encode the image");
            return false;
        }
    }

    // 10. The output's size.
    env_.run->OutputKiB.fetch_add(FileSizeOf(DestinationPath) / 1024);
    return true;
}

}  // namespace zelvan
