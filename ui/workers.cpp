#include "ui/workers.hpp"

#include "engine/engine.hpp"
#include "input/sector_map.hpp"

namespace lk::ui {

void RecoveryThread::run() {
    result = run_.analyse();
}

void FileCopyThread::run() {
    outcome = run_.save(list_, directory_, progress, filter ? &filter : nullptr);
}

void ImageThread::run() {
    result = DuplicateCard(input_, path_, progress);
}

void GraphThread::run() {
    map = MapSectors(input_, progress);
}

}  // namespace lk::ui
