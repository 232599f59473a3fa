// Icons loaded from the program's icon resources.
#pragma once

#include <memory>

namespace ui {

class Icon {
public:
    Icon() = default;
    bool IsNull() const { return !data_; }
    // Two icons are equal when they come from the same load.
    bool operator==(const Icon& other) const { return data_ == other.data_; }

    struct Data;
    explicit Icon(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
    const Data* data() const { return data_.get(); }

private:
    std::shared_ptr<const Data> data_;
};

// Loads icon resource id with every image size it has; a null icon when unknown.
Icon LoadIcon(int resourceId);

// Side length of the icon drawn on a minimised window (the platform's large icon size).
int IconMetric();

}  // namespace ui
