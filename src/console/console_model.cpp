#include "console/console_model.h"

#include <algorithm>

#include "console/glyphs.h"

void ConsoleModel::reset(int columns, int rows, int cursorColumn, int cursorRow) {
  columns_ = std::max(columns, 1);
  rows_ = std::max(rows, 1);
  cells_.assign(static_cast<std::size_t>(columns_) * rows_, Cell{});
  changed_.assign(cells_.size(), false);
  rowChanged_.assign(rows_, false);
  attribute_ = 7;
  colourChosen_ = false;
  left_ = 1;
  top_ = 1;
  right_ = columns_;
  bottom_ = rows_;
  column_ = std::clamp(cursorColumn, 1, columns_);
  row_ = std::clamp(cursorRow, 1, rows_);
  markColumn_ = 0;
  markRow_ = 0;
}

void ConsoleModel::resize(int columns, int rows) {
  columns = std::max(columns, 1);
  rows = std::max(rows, 1);
  std::vector<Cell> cells(static_cast<std::size_t>(columns) * rows, Cell{});
  for (int row = 1; row <= std::min(rows, rows_); ++row) {
    for (int column = 1; column <= std::min(columns, columns_); ++column) {
      cells[static_cast<std::size_t>(row - 1) * columns + (column - 1)] = cell(column, row);
    }
  }
  const bool windowFits = right_ <= columns && bottom_ <= rows;
  columns_ = columns;
  rows_ = rows;
  cells_ = std::move(cells);
  changed_.assign(cells_.size(), 1);
  rowChanged_.assign(rows_, 1);
  if (!windowFits) {
    left_ = top_ = 1;
    right_ = columns_;
    bottom_ = rows_;
  }
  column_ = std::clamp(column_, left_, right_);
  row_ = std::clamp(row_, top_, bottom_);
  markColumn_ = markRow_ = 0;
}

void ConsoleModel::setForeground(int colour) {
  attribute_ = static_cast<uint8_t>((attribute_ & 0x70) | (colour & 0x0F));
  colourChosen_ = true;
}

void ConsoleModel::setBackground(int colour) {
  attribute_ = static_cast<uint8_t>((attribute_ & 0x8F) | ((colour & 0x07) << 4));
  colourChosen_ = true;
}

void ConsoleModel::setAttribute(uint8_t attribute) {
  attribute_ = attribute;
  colourChosen_ = true;
}

void ConsoleModel::useTerminalColours() {
  attribute_ = 7;
  colourChosen_ = false;
}

void ConsoleModel::setWindow(int left, int top, int right, int bottom) {
  if (left < 1 || top < 1 || left > right || top > bottom || right > columns_ || bottom > rows_) {
    return;
  }
  left_ = left;
  top_ = top;
  right_ = right;
  bottom_ = bottom;
  column_ = left;
  row_ = top;
}

void ConsoleModel::moveCursor(int column, int row) {
  if (column < 1 || row < 1) return;
  const int absoluteColumn = left_ + column - 1;
  const int absoluteRow = top_ + row - 1;
  if (absoluteColumn > right_ || absoluteRow > bottom_) return;
  column_ = absoluteColumn;
  row_ = absoluteRow;
}

void ConsoleModel::clearScreen() {
  const Cell empty = blank(attribute_, streamPlain());
  for (int row = top_; row <= bottom_; ++row) fillRow(row, left_, right_, empty);
  column_ = left_;
  row_ = top_;
}

void ConsoleModel::writeText(std::string_view text) {
  markColumn_ = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    switch (text[pos]) {
      case '\r':
        column_ = left_;
        ++pos;
        continue;
      case '\n':
        if (row_ < bottom_) {
          ++row_;
        } else {
          scrollWindowUp();
        }
        ++pos;
        continue;
      case '\b':
        if (column_ > left_) --column_;
        ++pos;
        continue;
      case '\a':
        if (listener_ != nullptr) listener_->bell();
        ++pos;
        continue;
      default:
        break;
    }
    std::size_t end = pos;
    while (end < text.size() && text[end] >= 0x20 && text[end] < 0x7F) ++end;
    if (end > pos) {
      streamAscii(text.substr(pos, end - pos));
      pos = end;
      continue;
    }
    const Glyph glyph = decodeGlyph(text, pos);
    pos += glyph.length;
    if (glyph.width == 0) {
      attachMark(glyph.codePoint);
      continue;
    }
    Cell cell = blank(attribute_, streamPlain());
    cell.glyph = glyph.codePoint;
    streamGlyph(cell, glyph.width);
  }
}

void ConsoleModel::streamGlyph(const Cell& cell, int width) {
  Cell lead = cell;
  if (width == 2 && right_ == left_) {
    // A one-column window can never hold it.
    lead.glyph = U' ';
    width = 1;
  } else if (width == 2 && column_ == right_) {
    put(column_, row_, blank(attribute_, streamPlain()));
    nextStreamLine();
  }
  markColumn_ = column_;
  markRow_ = row_;
  if (width == 2) {
    lead.wide = true;
    put(column_, row_, lead);
    Cell rightHalf = blank(lead.attribute, lead.plain);
    rightHalf.continuation = true;
    put(column_ + 1, row_, rightHalf);
  } else {
    put(column_, row_, lead);
  }
  column_ += width;
  if (column_ > right_) nextStreamLine();
}

void ConsoleModel::streamAscii(std::string_view run) {
  Cell cell = blank(attribute_, streamPlain());
  std::size_t pos = 0;
  while (pos < run.size()) {
    const int count =
        static_cast<int>(std::min<std::size_t>(run.size() - pos, right_ - column_ + 1));
    const int first = index(column_, row_);
    for (int i = 0; i < count; ++i) {
      cell.glyph = static_cast<char32_t>(run[pos + i]);
      const Cell& old = cells_[first + i];
      if (old.wide || old.continuation) {
        put(column_ + i, row_, cell);
      } else if (!(old == cell)) {
        cells_[first + i] = cell;
        changed_[first + i] = 1;
        rowChanged_[row_ - 1] = 1;
      }
    }
    markColumn_ = column_ + count - 1;
    markRow_ = row_;
    column_ += count;
    pos += static_cast<std::size_t>(count);
    if (column_ > right_) nextStreamLine();
  }
}

void ConsoleModel::nextStreamLine() {
  column_ = left_;
  if (row_ < bottom_) {
    ++row_;
  } else {
    scrollWindowUp();
  }
}

void ConsoleModel::writeCells(int column, int row, std::string_view text, uint8_t attribute) {
  markColumn_ = 0;
  if (row < 1 || row > rows_ || column < 1) return;
  std::size_t pos = 0;
  while (pos < text.size() && column <= columns_) {
    const Glyph glyph = decodeGlyph(text, pos);
    pos += glyph.length;
    if (glyph.width == 0) {
      attachMark(glyph.codePoint);
      continue;
    }
    Cell cell = blank(attribute, false);
    markColumn_ = column;
    markRow_ = row;
    if (glyph.width == 2 && column < columns_) {
      cell.glyph = glyph.codePoint;
      cell.wide = true;
      put(column, row, cell);
      Cell rightHalf = blank(attribute, false);
      rightHalf.continuation = true;
      put(column + 1, row, rightHalf);
    } else if (glyph.width == 1) {
      cell.glyph = glyph.codePoint;
      put(column, row, cell);
    } else {
      put(column, row, cell);  // half a wide glyph would stick out of the screen
    }
    column += glyph.width;
  }
}

void ConsoleModel::clearChanges(int row) {
  const auto first = changed_.begin() + index(1, row);
  std::fill(first, first + columns_, false);
  rowChanged_[row - 1] = false;
}

void ConsoleModel::changeRows(int first, int last) {
  const auto from = static_cast<std::ptrdiff_t>(index(1, first));
  const auto to = static_cast<std::ptrdiff_t>(index(1, last + 1));
  for (auto cell = cells_.begin() + from; cell != cells_.begin() + to; ++cell) {
    if (!cell->known) *cell = blank(7, true);
  }
  std::fill(changed_.begin() + from, changed_.begin() + to, 1);
  std::fill(rowChanged_.begin() + first - 1, rowChanged_.begin() + last, 1);
}

Cell ConsoleModel::blank(uint8_t attribute, bool plain) const {
  Cell cell;
  cell.attribute = attribute;
  cell.plain = plain;
  cell.known = true;
  return cell;
}

void ConsoleModel::put(int column, int row, const Cell& cell) {
  const Cell& old = cells_[index(column, row)];
  if (old.wide && column < columns_) {
    store(column + 1, row, blank(old.attribute, old.plain));
  } else if (old.continuation && column > 1) {
    const Cell& lead = cells_[index(column - 1, row)];
    store(column - 1, row, blank(lead.attribute, lead.plain));
  }
  store(column, row, cell);
}

void ConsoleModel::fillRow(int row, int from, int to, const Cell& cell) {
  // Only the ends can cut a wide glyph apart; the cells between are simply replaced.
  put(from, row, cell);
  if (to == from) return;
  for (int column = from + 1; column < to; ++column) store(column, row, cell);
  put(to, row, cell);
}

void ConsoleModel::store(int column, int row, const Cell& cell) {
  const int i = index(column, row);
  if (cells_[i] == cell) return;
  cells_[i] = cell;
  changed_[i] = true;
  rowChanged_[row - 1] = true;
}

void ConsoleModel::attachMark(char32_t mark) {
  if (markColumn_ == 0) return;
  const int i = index(markColumn_, markRow_);
  Cell& cell = cells_[i];
  char32_t* slot = cell.marks[0] == 0   ? &cell.marks[0]
                   : cell.marks[1] == 0 ? &cell.marks[1]
                                        : nullptr;
  if (slot == nullptr) return;
  *slot = mark;
  changed_[i] = true;
  rowChanged_[markRow_ - 1] = true;
}

void ConsoleModel::scrollWindowUp() {
  const bool fullWidth = left_ == 1 && right_ == columns_;
  const bool moved =
      fullWidth && listener_ != nullptr && listener_->scrollingFullWidth(top_, bottom_);
  const int width = right_ - left_ + 1;
  for (int row = top_; row < bottom_; ++row) {
    const int to = index(left_, row);
    const int from = index(left_, row + 1);
    std::copy_n(cells_.begin() + from, width, cells_.begin() + to);
    if (moved) {
      std::copy_n(changed_.begin() + from, width, changed_.begin() + to);
    } else {
      // The terminal still shows the old row here; what it showed below is not ours to copy.
      for (int i = to; i < to + width; ++i) {
        if (!cells_[i].known) cells_[i] = blank(7, true);
      }
      std::fill_n(changed_.begin() + to, width, 1);
    }
    if (!fullWidth) {
      // The window's edges may have cut wide glyphs of the rows outside it apart.
      const Cell& first = cells_[index(left_, row)];
      if (first.continuation) store(left_, row, blank(first.attribute, first.plain));
      const Cell& last = cells_[index(right_, row)];
      if (last.wide) store(right_, row, blank(last.attribute, last.plain));
      if (left_ > 1 && cells_[index(left_ - 1, row)].wide &&
          !cells_[index(left_, row)].continuation) {
        const Cell& lead = cells_[index(left_ - 1, row)];
        store(left_ - 1, row, blank(lead.attribute, lead.plain));
      }
      if (right_ < columns_ && cells_[index(right_ + 1, row)].continuation &&
          !cells_[index(right_, row)].wide) {
        const Cell& tail = cells_[index(right_ + 1, row)];
        store(right_ + 1, row, blank(tail.attribute, tail.plain));
      }
    }
    rowChanged_[row - 1] = rowChanged_[row - 1] || !moved || rowChanged_[row];
  }
  fillRow(bottom_, left_, right_, blank(attribute_, streamPlain()));
  // Terminals disagree on the colour of the line a scroll brings in: always draw it.
  std::fill_n(changed_.begin() + index(left_, bottom_), right_ - left_ + 1, 1);
  rowChanged_[bottom_ - 1] = true;
  if (markColumn_ != 0 && markColumn_ >= left_ && markColumn_ <= right_ && markRow_ >= top_ &&
      markRow_ <= bottom_) {
    if (--markRow_ < top_) markColumn_ = 0;
  }
}
