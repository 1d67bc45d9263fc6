#include "columnar/decisions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

namespace kavro::columnar {

namespace {

constexpr std::array<documents::Effect, 3> kEffects = {
    documents::Effect::Allow, documents::Effect::Block, documents::Effect::RequireApproval};

// The effect dictionary's values, built once: offsets and bytes of the three
// spellings, in the order of the effect indices.
struct EffectDictionary {
  std::array<std::int32_t, 4> offsets{};
  std::string bytes;
  EffectDictionary() {
    for (std::size_t i = 0; i < kEffects.size(); ++i) {
      bytes += documents::spelling(kEffects[i]);
      offsets[i + 1] = static_cast<std::int32_t>(bytes.size());
    }
  }
};

const EffectDictionary& effect_dictionary() {
  static const EffectDictionary dictionary;
  return dictionary;
}

// Each exported node owns its children and dictionary, so a consumer may
// release any of them on its own, in any order.
struct SchemaNode {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

// Releases an exported schema or array node (T) with its private Node.
template <class T, class Node>
void release_node(T* exported) {
  auto* node = static_cast<Node*>(exported->private_data);
  auto release_owned = [](T* owned) {
    if (owned == nullptr) return;
    if (owned->release != nullptr) owned->release(owned);
    delete owned;
  };
  for (T* child : node->children) release_owned(child);
  release_owned(node->dictionary);
  delete node;
  exported->release = nullptr;
}

void release_schema(ArrowSchema* schema) {
  release_node<ArrowSchema, SchemaNode>(schema);
}

void fill_schema(ArrowSchema& out, std::string format, std::string name, std::int64_t flags,
                 std::vector<ArrowSchema*> children = {}, ArrowSchema* dictionary = nullptr) {
  auto* node = new SchemaNode{std::move(format), std::move(name), std::move(children), dictionary};
  out.format = node->format.c_str();
  out.name = node->name.c_str();
  out.metadata = nullptr;
  out.flags = flags;
  out.n_children = static_cast<std::int64_t>(node->children.size());
  out.children = node->children.empty() ? nullptr : node->children.data();
  out.dictionary = node->dictionary;
  out.release = release_schema;
  out.private_data = node;
}

struct ArrayNode {
  std::shared_ptr<const DecisionBatch> batch;  // keeps the buffers alive
  std::array<const void*, 3> buffers{};
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) {
  release_node<ArrowArray, ArrayNode>(array);
}

ArrowArray* new_array(std::shared_ptr<const DecisionBatch> batch, std::int64_t length,
                      std::int64_t null_count, std::initializer_list<const void*> buffers,
                      std::vector<ArrowArray*> children = {}, ArrowArray* dictionary = nullptr) {
  auto* node = new ArrayNode{std::move(batch), {}, std::move(children), dictionary};
  std::size_t count = 0;
  for (const void* buffer : buffers) node->buffers[count++] = buffer;
  auto* array = new ArrowArray{length,
                               null_count,
                               0,
                               static_cast<std::int64_t>(count),
                               static_cast<std::int64_t>(node->children.size()),
                               node->buffers.data(),
                               node->children.empty() ? nullptr : node->children.data(),
                               dictionary,
                               release_array,
                               node};
  return array;
}

// Null when the rule ids of all batches do not fit 32-bit offsets.
std::unique_ptr<DecisionBatch> join(const DecisionSet& decisions) {
  auto joined = std::make_unique<DecisionBatch>();
  joined->effects.reserve(static_cast<std::size_t>(decisions.rows) + 1);
  joined->rule_offsets.reserve(static_cast<std::size_t>(decisions.rows) + 1);
  for (const auto& batch : decisions.batches) {
    const std::int64_t start = joined->rows();
    joined->effects.insert(joined->effects.end(), batch->effects.begin(), batch->effects.end());
    const std::int64_t base = static_cast<std::int64_t>(joined->rule_bytes.size());
    if (base + static_cast<std::int64_t>(batch->rule_bytes.size()) >
        std::numeric_limits<std::int32_t>::max()) {
      return nullptr;
    }
    for (std::size_t i = 1; i < batch->rule_offsets.size(); ++i) {
      joined->rule_offsets.push_back(static_cast<std::int32_t>(base + batch->rule_offsets[i]));
    }
    joined->rule_bytes += batch->rule_bytes;
    joined->rule_validity.resize(static_cast<std::size_t>((joined->rows() + 7) / 8), 0);
    for (std::int64_t row = 0; row < batch->rows(); ++row) {
      if ((batch->rule_validity[row >> 3] >> (row & 7)) & 1) {
        const std::int64_t at = start + row;
        joined->rule_validity[at >> 3] |= static_cast<std::uint8_t>(1U << (at & 7));
      }
    }
    joined->rule_nulls += batch->rule_nulls;
  }
  return joined;
}

// Rule ids are mostly short: up to 16 bytes go as two overlapping words
// rather than through a call per row.
void copy_id(char* out, std::string_view id) {
  const std::size_t size = id.size();
  if (size < 8 || size > 16) {
    std::memcpy(out, id.data(), size);
    return;
  }
  std::uint64_t head;
  std::uint64_t tail;
  std::memcpy(&head, id.data(), 8);
  std::memcpy(&tail, id.data() + size - 8, 8);
  std::memcpy(out, &head, 8);
  std::memcpy(out + size - 8, &tail, 8);
}

struct StreamState {
  std::shared_ptr<const DecisionSet> decisions;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream*, ArrowSchema* out) {
  export_schema(*out);
  return 0;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->next == state->decisions->batches.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  export_batch(state->decisions->batches[state->next++], *out);
  return 0;
}

const char* stream_error(ArrowArrayStream*) {
  return nullptr;
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

DecisionBuilder::DecisionBuilder(documents::Effect default_effect)
    : current_(std::make_unique<DecisionBatch>()) {
  done_.default_effect = default_effect;
  // Exported buffers must not be null pointers, even for no rows.
  current_->effects.reserve(1);
}

void DecisionBuilder::add(std::span<const compiler::CompiledRule* const> rules) {
  constexpr auto kMaxBytes = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  while (!rules.empty()) {
    std::size_t bytes = current_->rule_bytes.size();
    std::size_t fit = 0;
    for (; fit < rules.size(); ++fit) {
      const std::size_t length = rules[fit] != nullptr ? rules[fit]->rule_id.size() : 0;
      if (bytes + length > kMaxBytes) break;
      bytes += length;
    }
    if (fit == 0 && current_->rows() > 0) {
      finish_batch();
      continue;
    }
    fit = std::max<std::size_t>(fit, 1);
    append(rules.first(fit), bytes);
    rules = rules.subspan(fit);
    if (!rules.empty()) finish_batch();
  }
}

void DecisionBuilder::append(std::span<const compiler::CompiledRule* const> rules,
                             std::size_t bytes) {
  DecisionBatch& batch = *current_;
  const std::size_t start = batch.effects.size();
  const std::size_t rows = start + rules.size();
  batch.effects.resize(rows);
  batch.rule_offsets.resize(rows + 1);
  batch.rule_validity.resize((rows + 7) / 8, 0);
  std::size_t at = batch.rule_bytes.size();
  batch.rule_bytes.resize(bytes);
  // Plain pointers: written through the vectors, the id bytes (chars, which
  // may alias anything) would make every row reload the vectors' data.
  std::int8_t* const effects = batch.effects.data();
  std::int32_t* const offsets = batch.rule_offsets.data();
  std::uint8_t* const validity = batch.rule_validity.data();
  char* const text = batch.rule_bytes.data();
  std::int64_t nulls = 0;
  const auto fallback = static_cast<std::int8_t>(done_.default_effect);
  for (std::size_t row = start; row < rows; ++row) {
    const compiler::CompiledRule* rule = rules[row - start];
    if (rule == nullptr) {
      effects[row] = fallback;
      ++nulls;
    } else {
      effects[row] = static_cast<std::int8_t>(rule->effect);
      const std::string_view id = rule->rule_id;
      copy_id(text + at, id);
      at += id.size();
      validity[row >> 3] |= static_cast<std::uint8_t>(1U << (row & 7));
    }
    offsets[row + 1] = static_cast<std::int32_t>(at);
  }
  batch.rule_nulls += nulls;
}

void DecisionBuilder::finish_batch() {
  if (current_->rows() == 0) return;
  done_.rows += current_->rows();
  done_.batches.push_back(std::move(current_));
  current_ = std::make_unique<DecisionBatch>();
  current_->effects.reserve(1);
}

Result<DecisionSet, ColumnarError> restore_decisions(std::span<const std::int8_t> effects,
                                                     std::span<const std::int32_t> rule_of_row,
                                                     std::span<const std::string_view> ids,
                                                     documents::Effect default_effect) {
  const auto refused = [](std::string what) {
    return ColumnarError{ColumnarError::Kind::MalformedData, "not pickled decisions: " + what};
  };
  if (effects.size() != rule_of_row.size()) return fail(refused("rows differ in length"));
  auto batch = std::make_unique<DecisionBatch>();
  const std::size_t rows = effects.size();
  batch->effects.assign(effects.begin(), effects.end());
  batch->rule_offsets.resize(rows + 1);
  batch->rule_validity.assign((rows + 7) / 8, 0);
  constexpr auto kEffectCount = static_cast<std::int8_t>(kEffects.size());
  for (std::size_t row = 0; row < rows; ++row) {
    const std::int32_t rule = rule_of_row[row];
    if (effects[row] < 0 || effects[row] >= kEffectCount) return fail(refused("unknown effect"));
    if (rule < -1 || rule >= static_cast<std::int64_t>(ids.size()))
      return fail(refused("rule out of range"));
    if (rule == -1) {
      if (effects[row] != static_cast<std::int8_t>(default_effect)) {
        return fail(refused(default_effect == documents::Effect::Allow
                                ? "a decision without a rule that is not allow"
                                : "a decision without a rule that is not the default"));
      }
      ++batch->rule_nulls;
    } else {
      const std::string_view id = ids[static_cast<std::size_t>(rule)];
      if (batch->rule_bytes.size() + id.size() >
          static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return fail(refused("rule ids beyond 32-bit offsets"));
      }
      batch->rule_bytes += id;
      batch->rule_validity[row >> 3] |= static_cast<std::uint8_t>(1U << (row & 7));
    }
    batch->rule_offsets[row + 1] = static_cast<std::int32_t>(batch->rule_bytes.size());
  }
  DecisionSet restored;
  restored.rows = static_cast<std::int64_t>(rows);
  restored.default_effect = default_effect;
  if (rows != 0) restored.batches.push_back(std::move(batch));
  return restored;
}

DecisionSet DecisionBuilder::finish() && {
  finish_batch();
  return std::move(done_);
}

void export_schema(ArrowSchema& out) {
  auto* values = new ArrowSchema{};
  fill_schema(*values, "u", "", 0);
  auto* effect = new ArrowSchema{};
  fill_schema(*effect, "c", "effect", 0, {}, values);
  auto* matched_rule = new ArrowSchema{};
  fill_schema(*matched_rule, "u", "matched_rule", kArrowFlagNullable);
  fill_schema(out, "+s", "", 0, {effect, matched_rule});
}

void export_batch(std::shared_ptr<const DecisionBatch> batch, ArrowArray& out) {
  const EffectDictionary& words = effect_dictionary();
  const std::int64_t rows = batch->rows();
  ArrowArray* dictionary = new_array(nullptr, static_cast<std::int64_t>(kEffects.size()), 0,
                                     {nullptr, words.offsets.data(), words.bytes.data()});
  ArrowArray* effect = new_array(batch, rows, 0, {nullptr, batch->effects.data()}, {}, dictionary);
  ArrowArray* matched_rule = new_array(
      batch, rows, batch->rule_nulls,
      {batch->rule_validity.data(), batch->rule_offsets.data(), batch->rule_bytes.data()});
  ArrowArray* top = new_array(batch, rows, 0, {nullptr}, {effect, matched_rule});
  out = *top;
  delete top;  // its node moved into `out` with the struct
}

Result<Unit, ColumnarError> export_all(const DecisionSet& decisions, ArrowArray& out) {
  if (decisions.batches.size() == 1) {
    export_batch(decisions.batches.front(), out);
    return Unit{};
  }
  std::unique_ptr<DecisionBatch> joined = join(decisions);
  if (joined == nullptr) {
    return fail(ColumnarError{ColumnarError::Kind::MalformedData,
                              "the matched rule ids do not fit one Arrow array; read the "
                              "decisions as a stream"});
  }
  export_batch(std::move(joined), out);
  return Unit{};
}

void export_stream(std::shared_ptr<const DecisionSet> decisions, ArrowArrayStream& out) {
  out.get_schema = stream_schema;
  out.get_next = stream_next;
  out.get_last_error = stream_error;
  out.release = stream_release;
  out.private_data = new StreamState{std::move(decisions)};
}

}  // namespace kavro::columnar
