// The main dialog's picture of the chosen product's flash chip: every
// partition at its offset and size, named, and how much of it the chosen
// folders or the original file's images would fill. Draws the same picture
// as `inspect --svg`; a partition's details show as its tooltip.
#pragma once

#include <QWidget>

#include "firmsmith/products/flash_layout.h"

namespace shell {

class FlashLayoutBar : public QWidget {
 public:
  explicit FlashLayoutBar(QWidget* parent = nullptr);

  void SetFlashLayout(products::FlashLayout layout);
  const products::FlashLayout& flashLayout() const { return layout_; }
  // The picture at the widget's present size (what paintEvent draws).
  products::LayoutPicture Picture() const;

  QSize sizeHint() const override { return {260, 330}; }
  QSize minimumSizeHint() const override { return {200, 200}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  products::FlashLayout layout_;
};

}  // namespace shell
