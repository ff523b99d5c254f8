#include "capture/picture_pool.h"

#include <algorithm>

namespace morvane {

PicturePtr PicturePool::make(Picture::Format format, int width, int height) {
    std::unique_ptr<Picture> picture;
    std::vector<std::unique_ptr<Picture>> gone;  // freed outside the lock
    {
        std::lock_guard l(m_);
        if (width != width_ || height != height_) {
            gone.swap(spare_);
            width_ = width;
            height_ = height;
        }
        const auto it = std::find_if(spare_.begin(), spare_.end(), [&](const auto& p) { return p->format == format; });
        if (it != spare_.end()) {
            picture = std::move(*it);
            spare_.erase(it);
        } else {
            ++fresh_;
        }
    }
    if (!picture)
        picture = std::make_unique<Picture>(format == Picture::Format::bgra ? Picture::makeBGRA(width, height)
                                                                            : Picture::makeI420(width, height));
    std::weak_ptr<PicturePool> pool = weak_from_this();
    return PicturePtr(picture.release(), [pool](const Picture* p) {
        std::unique_ptr<Picture> owned(const_cast<Picture*>(p));
        if (auto self = pool.lock()) self->giveBack(std::move(owned));
    });
}

void PicturePool::close() {
    std::vector<std::unique_ptr<Picture>> gone;
    std::lock_guard l(m_);
    closed_ = true;
    gone.swap(spare_);
}

int PicturePool::freshPictures() const {
    std::lock_guard l(m_);
    return fresh_;
}

std::size_t PicturePool::spares() const {
    std::lock_guard l(m_);
    return spare_.size();
}

void PicturePool::giveBack(std::unique_ptr<Picture> picture) {
    std::lock_guard l(m_);
    if (closed_ || picture->width != width_ || picture->height != height_) return;
    const auto sameFormat = std::count_if(spare_.begin(), spare_.end(),
                                          [&](const auto& p) { return p->format == picture->format; });
    if (static_cast<std::size_t>(sameFormat) < sparesPerFormat) spare_.push_back(std::move(picture));
}

}  // namespace morvane
