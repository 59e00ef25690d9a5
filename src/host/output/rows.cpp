// Compact storage of a table's rows (see Rows in document.h).
#include "host/output/document.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace vdq
{

size_t RowRef::size() const
{
    return t_->rowEnd(r_) - t_->start_[r_];
}

Cell RowRef::operator[](size_t i) const
{
    return t_->cell(t_->start_[r_] + i);
}

Cell RowRef::at(size_t i) const
{
    if (i >= size())
        throw std::out_of_range("cell past the end of the row");
    return (*this)[i];
}

Rows::Rows(std::initializer_list<std::vector<Cell>> rows)
{
    for (const auto& r : rows)
        push_back(r);
}

Rows& Rows::operator=(Rows&& o) noexcept
{
    if (this != &o) {
        start_ = std::move(o.start_);
        kind_ = std::move(o.kind_);
        value_ = std::move(o.value_);
        text_ = std::move(o.text_);
        lastText_ = o.lastText_;
        o.start_.clear();
        o.kind_.clear();
        o.value_.clear();
        o.text_.clear();
        o.lastText_ = UINT64_MAX;
    }
    return *this;
}

RowRef Rows::at(size_t r) const
{
    if (r >= size())
        throw std::out_of_range("row past the end of the table");
    return RowRef(this, r);
}

Cell Rows::cell(size_t k) const
{
    Cell c;
    uint64_t v = value_[k];
    if (kind_[k] == Cell::Text) {
        c.kind = Cell::Text;
        uint32_t len;
        std::memcpy(&len, text_.data() + v, sizeof len);
        c.s.assign(text_, static_cast<size_t>(v) + sizeof len, len);
    } else {
        c.kind = Cell::Number;
        std::memcpy(&c.d, &v, sizeof v);
    }
    return c;
}

void Rows::startRow()
{
    start_.push_back(kind_.size());
}

void Rows::addNumber(double d)
{
    uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    kind_.push_back(static_cast<uint8_t>(Cell::Number));
    value_.push_back(v);
}

void Rows::addText(const std::string& s)
{
    if (s.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("cell text too long");
    const uint32_t len = static_cast<uint32_t>(s.size());
    // Plot data repeat the same text row after row (a stratum's name): keep
    // one copy of a run of equal texts.
    bool same = false;
    if (lastText_ != UINT64_MAX) {
        uint32_t last;
        std::memcpy(&last, text_.data() + lastText_, sizeof last);
        same =
            last == len && text_.compare(static_cast<size_t>(lastText_) + sizeof len, len, s) == 0;
    }
    if (!same) {
        lastText_ = text_.size();
        text_.append(reinterpret_cast<const char*>(&len), sizeof len);
        text_.append(s);
    }
    kind_.push_back(static_cast<uint8_t>(Cell::Text));
    value_.push_back(lastText_);
}

void Rows::push_back(const std::vector<Cell>& row)
{
    startRow();
    for (const Cell& c : row) {
        if (c.kind == Cell::Text)
            addText(c.s);
        else
            addNumber(c.d);
    }
}

void Rows::append(Rows&& other)
{
    if (this == &other)
        return;
    if (empty()) {
        *this = std::move(other);
    } else {
        for (const RowRef& r : other) {
            startRow();
            for (size_t i = 0; i < r.size(); ++i) {
                Cell c = r[i];
                if (c.kind == Cell::Text)
                    addText(c.s);
                else
                    addNumber(c.d);
            }
        }
    }
    other.clear();
}

void Rows::clear()
{
    // Release the storage, not only the contents: a flushed table's rows
    // may have been large.
    std::vector<size_t>().swap(start_);
    std::vector<uint8_t>().swap(kind_);
    std::vector<uint64_t>().swap(value_);
    std::string().swap(text_);
    lastText_ = UINT64_MAX;
}

} // namespace vdq
