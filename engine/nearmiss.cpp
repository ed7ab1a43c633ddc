#include "engine/nearmiss.h"

namespace nearmiss {
namespace {

bool isEdgeBlank(QChar c) {
  return c == u'\r' || c == u'\n' || c == u'\t' || c == u' ';
}

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

}  // namespace nearmiss
