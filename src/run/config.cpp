// The names of a run's files, composed without allocating.
#include "run/config.h"

#include <algorithm>
#include <charconv>

namespace zemb {

namespace {

// Room for the longest decimal int, sign included.
constexpr std::size_t max_number_chars = 11;
// The longest fixed text a name adds: "Model" and ".ppm" around a number.
constexpr std::size_t max_name_decoration = 16;

}  // namespace

FileNames::FileNames(const std::string& directory, const std::string& base)
    : directory_and_base_(directory + base), output_head_(base)
{
    name_.reserve(directory_and_base_.size() + max_number_chars + max_name_decoration);
}

FileNames::FileNames(const RunConfig& config)
    : directory_and_base_(config.directory + config.base),
      output_head_(output_path(config.output_folder, config.output_base)),
      mask_pattern_(config.mask_names)
{
    std::size_t longest = std::max(directory_and_base_.size(), output_head_.size()) +
                          max_number_chars + max_name_decoration;
    if (mask_pattern_)
        longest = std::max(longest, mask_pattern_->name_capacity());
    name_.reserve(longest);
}

const char* FileNames::compose(const std::string& head, const char* middle, int number,
                               const char* tail)
{
    char digits[max_number_chars + 1];
    auto converted = std::to_chars(digits, digits + sizeof digits, number);
    name_.assign(head);  // within the reserved capacity: no allocation
    name_.append(middle);
    name_.append(digits, converted.ptr);
    name_.append(tail);
    return name_.c_str();
}

const char* FileNames::frame(int number)
{
    return compose(directory_and_base_, ".", number, ".ppm");
}

const char* FileNames::mask(int number)
{
    if (!mask_pattern_)
        return compose(output_head_, "Mask.", number, ".pgm");
    name_.resize(mask_pattern_->name_capacity());  // within the reserved capacity
    name_.resize(mask_pattern_->format(number, name_.data()));
    return name_.c_str();
}

const char* FileNames::model(int number) { return compose(output_head_, "Model.", number, ".ppm"); }

}  // namespace zemb
