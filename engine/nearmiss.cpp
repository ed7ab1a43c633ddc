#include "engine/nearmiss.h"

namespace nearmiss {
namespace {

bool isEdgeBlank(QChar c) {
  return c == u'\r' || c == u'\n' || c == u'\t' || c == u' ';
}

// Counts what the walk finds and passes yields and Stop to the scan it follows.
class Counter final : public ScanListener {
 public:
  explicit Counter(ScanListener* outer) : outer_(outer) {}
  void note(const QString&) override {}
  void refused(const QString&) override { refused_ = true; }
  void found(const ScanFound&) override { ++found_; }
  void unreadable(const QString&, int) override {}
  void yieldToEvents() override {
    if (outer_)
      outer_->yieldToEvents();
  }
  bool stopRequested() const override { return outer_ && outer_->stopRequested(); }

  qint64 found_ = 0;
  bool refused_ = false;

 private:
  ScanListener* outer_;
};

}  // namespace

std::optional<QString> withoutEdgeBlanks(const QString& signature) {
  qsizetype from = 0;
  qsizetype to = signature.size();
  while (from < to && isEdgeBlank(signature[from]))
    ++from;
  while (to > from && isEdgeBlank(signature[to - 1]))
    --to;
  if (from == to || (from == 0 && to == signature.size()))
    return std::nullopt;
  return signature.mid(from, to - from);
}

std::optional<qint64> filesHolding(ScanRequest request, const QString& signature,
                                   ScanListener* outer) {
  request.signature = signature;
  Counter counter(outer);
  Scanner scanner(counter);
  if (!scanner.scan(request) || counter.refused_ || counter.stopRequested())
    return std::nullopt;
  return counter.found_;
}

}  // namespace nearmiss
