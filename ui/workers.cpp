#include "ui/workers.hpp"

#include "engine/common.hpp"
#include "input/sector_map.hpp"

namespace lk::ui {

void RecoveryThread::run() {
    result = RunAnalysis(engine_);
}

void FileCopyThread::run() {
    outcome = SaveItems(engine_, list_, directory_, progress, filter ? &filter : nullptr,
                        engine_.reads_stop.get_token());
}

void ImageThread::run() {
    result = DuplicateCard(input_, path_, progress);
}

void GraphThread::run() {
    map = MapSectors(input_, progress);
}

}  // namespace lk::ui
