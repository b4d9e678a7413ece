#pragma once
// The screen as the program sees it, and the rules of the output window and the output stream.
// Nothing else decides where text lands; back ends only draw what this model holds.

#include <cstdint>
#include <string_view>
#include <vector>

struct Cell {
  char32_t glyph = U' ';
  char32_t marks[2] = {0, 0};  // zero-width characters shown on top of the glyph
  uint8_t attribute = 7;
  // Drawn in the terminal's own colours: blanks and text made before the program chose a colour.
  bool plain : 1 = true;
  bool wide : 1 = false;          // the left half of a glyph two columns wide
  bool continuation : 1 = false;  // the right half; shows nothing of its own
  // False for cells the program never wrote: the terminal still shows whatever was there.
  bool known : 1 = false;

  bool operator==(const Cell&) const = default;
};

// Told about what a back end cannot learn from the cells alone.
class ModelListener {
 public:
  // The full-width window [top, bottom] is about to move up one line. Returns true when the
  // listener moves the picture itself; the model then only marks the freed bottom row as changed.
  virtual bool scrollingFullWidth(int top, int bottom) = 0;
  virtual void bell() = 0;

 protected:
  ~ModelListener() = default;
};

class ConsoleModel {
 public:
  void reset(int columns, int rows, int cursorColumn, int cursorRow);
  // A new size: the cells both sizes share are kept, the rest is blank; the window is kept when
  // it still fits (else it becomes the whole screen), the output position is kept within it, and
  // every cell counts as changed.
  void resize(int columns, int rows);
  void setListener(ModelListener* listener) { listener_ = listener; }

  void setForeground(int colour);
  void setBackground(int colour);
  void setAttribute(uint8_t attribute);
  void useTerminalColours();
  void setWindow(int left, int top, int right, int bottom);
  void moveCursor(int column, int row);
  uint8_t cursorRow() const { return static_cast<uint8_t>(row_ - top_ + 1); }
  void clearScreen();
  void writeText(std::string_view text);
  void writeCells(int column, int row, std::string_view text, uint8_t attribute);

  int columns() const { return columns_; }
  int rows() const { return rows_; }
  int outputColumn() const { return column_; }
  int outputRow() const { return row_; }
  uint8_t attribute() const { return attribute_; }
  int windowLeft() const { return left_; }
  int windowTop() const { return top_; }
  int windowRight() const { return right_; }
  int windowBottom() const { return bottom_; }

  const Cell& cell(int column, int row) const { return cells_[index(column, row)]; }

  // Damage: the cells changed since the back end last drew them.
  bool rowChanged(int row) const { return rowChanged_[row - 1]; }
  bool cellChanged(int column, int row) const { return changed_[index(column, row)]; }
  // A row's cells and change marks from column 1 on, for a back end that walks a whole row.
  const Cell* rowCells(int row) const { return &cells_[index(1, row)]; }
  const uint8_t* rowChanges(int row) const { return &changed_[index(1, row)]; }
  void clearChanges(int row);
  // Every cell counts as changed, and cells the program never wrote become blanks: for a
  // terminal whose picture can no longer be trusted.
  void changeEverything() { changeRows(1, rows_); }
  // The same for rows first to last.
  void changeRows(int first, int last);

 private:
  int index(int column, int row) const { return (row - 1) * columns_ + (column - 1); }
  Cell blank(uint8_t attribute, bool plain) const;
  // Puts one cell, blanking the other half of any wide glyph it cuts through.
  void put(int column, int row, const Cell& cell);
  // Puts the same cell from column `from` to column `to` of a row.
  void fillRow(int row, int from, int to, const Cell& cell);
  void store(int column, int row, const Cell& cell);
  void attachMark(char32_t mark);
  void scrollWindowUp();
  void nextStreamLine();
  void streamGlyph(const Cell& cell, int width);
  // Printable ASCII, one column each: the common case, without decoding.
  void streamAscii(std::string_view run);
  bool streamPlain() const { return !colourChosen_; }

  ModelListener* listener_ = nullptr;
  int columns_ = 0;
  int rows_ = 0;
  std::vector<Cell> cells_;
  // Bytes, not std::vector<bool>: every stream character sets one, and bit access costs.
  std::vector<uint8_t> changed_;
  std::vector<uint8_t> rowChanged_;
  uint8_t attribute_ = 7;
  bool colourChosen_ = false;
  int left_ = 1, top_ = 1, right_ = 1, bottom_ = 1;
  int column_ = 1, row_ = 1;
  // The cell the current operation wrote last, which a following zero-width character joins.
  int markColumn_ = 0, markRow_ = 0;
};
