#include "control/json_tree.hpp"

#include <cstddef>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>

namespace ombrel::control::detail {
namespace {

using nlohmann::json;

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// What the parser has read so far. The iterator below keeps it current; the
// SAX events then know where their token ended.
struct ReadState {
  const char* base = nullptr;
  std::size_t consumed = 0;
  // Set once the parser has asked for a byte past the last one.
  bool saw_end = false;
};

class CountingReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingReader(const char* p, ReadState* state) : p_(p), state_(state) {}
  reference operator*() const { return *p_; }
  CountingReader& operator++() {
    ++p_;
    state_->consumed = static_cast<std::size_t>(p_ - state_->base);
    return *this;
  }
  CountingReader operator++(int) {
    CountingReader old = *this;
    ++*this;
    return old;
  }
  // The parser compares with the end before every byte it takes; equality is
  // how we learn that it looked past the last byte.
  friend bool operator==(const CountingReader& a, const CountingReader& b) {
    const bool at_end = a.p_ == b.p_;
    if (at_end) a.state_->saw_end = true;
    return at_end;
  }

 private:
  const char* p_;
  ReadState* state_;
};

// What the parser expects next; used to name a syntax fault the way a strict
// decoder does ("expected `:`", "EOF while parsing a list", ...).
enum class Expect {
  Value,
  FirstKeyOrEnd,
  Colon,
  CommaOrObjectEnd,
  FirstItemOrEnd,
  CommaOrArrayEnd,
  Nothing,
};

class TreeBuilder {
 public:
  TreeBuilder(std::string_view in, const ReadState& read) : in_(in), read_(read) {}

  bool null() { return scalar(Value{}, read_.consumed); }
  bool boolean(bool b) {
    Value v;
    v.kind = Kind::Bool;
    v.boolean = b;
    return scalar(std::move(v), read_.consumed);
  }
  bool number_integer(json::number_integer_t n) {
    Value v;
    if (n == 0) {
      // Only "-0" arrives here as zero. A strict decoder reads it as the
      // float it denotes, so it is no valid port.
      v.kind = Kind::Float;
      v.float_number = -0.0;
    } else {
      v.kind = Kind::Signed;
      v.signed_number = n;
    }
    return number(std::move(v), n == 0);
  }
  bool number_unsigned(json::number_unsigned_t n) {
    Value v;
    v.kind = Kind::Unsigned;
    v.unsigned_number = n;
    return number(std::move(v), n == 0);
  }
  bool number_float(json::number_float_t f, const std::string&) {
    Value v;
    v.kind = Kind::Float;
    v.float_number = f;
    return number(std::move(v), false);
  }
  bool string(std::string& s) {
    Value v;
    v.kind = Kind::String;
    v.text = std::move(s);
    return scalar(std::move(v), read_.consumed);
  }
  bool binary(json::binary_t&) { return false; }  // the text parser never produces it
  bool start_object(std::size_t) { return open(Kind::Object); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Kind::Array); }
  bool end_array() { return close(); }
  bool key(std::string& k) {
    Frame& frame = open_.back();
    frame.key = std::move(k);
    frame.key_end = read_.consumed;
    last_end_ = read_.consumed;
    expect_ = Expect::Colon;
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& ex) {
    fault_ = classify(position, ex);
    return false;
  }

  Tree finish() && {
    Tree tree{std::move(root_), std::move(fault_), {}, NONE};
    if (!open_.empty() && open_.front().key_end != NONE) {
      tree.root_pending_key = std::move(open_.front().key);
      tree.root_pending_key_end = open_.front().key_end;
    }
    if (!tree.fault && tree.root) {
      const std::size_t j = skip_space(tree.root->end);
      if (j < in_.size()) tree.fault = Fault{"trailing characters", j + 1};
    }
    return tree;
  }

 private:
  // A number is the one token whose end the parser finds by reading one byte
  // too far (it puts that byte back, but it was read from us).
  bool number(Value v, bool zero) {
    const std::size_t consumed = read_.consumed;
    const bool looked_past = !read_.saw_end;
    if (zero && looked_past && is_digit(in_[consumed - 1])) {
      // "01": the parser stops after the zero; a strict decoder refuses the digit.
      fault_ = Fault{"invalid number", consumed};
      return false;
    }
    return scalar(std::move(v), looked_past ? consumed - 1 : consumed);
  }

  bool scalar(Value v, std::size_t end) {
    v.end = end;
    place(std::move(v));
    last_end_ = end;
    after_value();
    return true;
  }

  bool open(Kind kind) {
    const std::size_t consumed = read_.consumed;
    if (open_.size() + 1 >= MAX_DEPTH) {
      fault_ = Fault{"recursion limit exceeded", consumed};
      return false;
    }
    Value v;
    v.kind = kind;
    v.complete = false;
    v.begin = consumed - 1;
    open_.push_back(Frame{place(std::move(v)), {}, NONE});
    last_end_ = consumed;
    expect_ = kind == Kind::Object ? Expect::FirstKeyOrEnd : Expect::FirstItemOrEnd;
    return true;
  }

  bool close() {
    Value& v = *open_.back().value;
    v.end = read_.consumed;
    v.complete = true;
    open_.pop_back();
    last_end_ = v.end;
    after_value();
    return true;
  }

  // Only the innermost open container grows, so pointers to the open ones stay valid.
  Value* place(Value v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &*root_;
    }
    Frame& frame = open_.back();
    if (frame.value->kind == Kind::Object) {
      v.key = std::move(frame.key);
      v.key_end = frame.key_end;
      frame.key.clear();
      frame.key_end = NONE;
    }
    frame.value->items.push_back(std::move(v));
    return &frame.value->items.back();
  }

  void after_value() {
    if (open_.empty()) {
      expect_ = Expect::Nothing;
    } else {
      expect_ = open_.back().value->kind == Kind::Object ? Expect::CommaOrObjectEnd
                                                         : Expect::CommaOrArrayEnd;
    }
  }

  std::size_t skip_space(std::size_t from) const {
    while (from < in_.size() && is_json_space(in_[from])) ++from;
    return from;
  }

  // nlohmann reports where its lexer stopped, which for a bad token is past
  // the token's end; a strict decoder names the fault at the first byte that
  // cannot be right. From the last good token we therefore look at the next
  // bytes ourselves (never more than one punctuation mark and white space).
  Fault classify(std::size_t lexer_position, const nlohmann::detail::exception& ex) const {
    const std::size_t size = in_.size();
    std::size_t j = skip_space(last_end_);
    const auto here = [&](const char* message) { return Fault{message, j + 1}; };
    const auto at_end = [&](const char* message) { return Fault{message, size}; };
    switch (expect_) {
      case Expect::Colon:
        if (j == size) return at_end("EOF while parsing an object");
        if (in_[j] != ':') return here("expected `:`");
        return bad_value(skip_space(j + 1), lexer_position, ex);
      case Expect::FirstKeyOrEnd:
        if (j == size) return at_end("EOF while parsing an object");
        if (in_[j] == '"') return bad_string(lexer_position, ex);
        return here("key must be a string");
      case Expect::CommaOrObjectEnd:
        if (j == size) return at_end("EOF while parsing an object");
        if (in_[j] != ',') return here("expected `,` or `}`");
        j = skip_space(j + 1);
        if (j == size) return at_end("EOF while parsing a value");
        if (in_[j] == '"') return bad_string(lexer_position, ex);
        if (in_[j] == '}') return here("trailing comma");
        return here("key must be a string");
      case Expect::FirstItemOrEnd:
        if (j == size) return at_end("EOF while parsing a list");
        return bad_value(j, lexer_position, ex);
      case Expect::CommaOrArrayEnd:
        if (j == size) return at_end("EOF while parsing a list");
        if (in_[j] != ',') return here("expected `,` or `]`");
        j = skip_space(j + 1);
        if (j < size && in_[j] == ']') return here("trailing comma");
        return bad_value(j, lexer_position, ex);
      case Expect::Value:
        return bad_value(j, lexer_position, ex);
      case Expect::Nothing:
        break;
    }
    return here("trailing characters");
  }

  // A value was expected at byte j.
  Fault bad_value(std::size_t j, std::size_t lexer_position,
                  const nlohmann::detail::exception& ex) const {
    const std::size_t size = in_.size();
    const bool hit_end = lexer_position > size;
    if (j == size) return Fault{"EOF while parsing a value", size};
    const char c = in_[j];
    if (c == '"') return bad_string(lexer_position, ex);
    if (c == '-' || is_digit(c)) {
      if (ex.id == 406) return Fault{"number out of range", lexer_position};
      if (c == '-' && j + 1 == size) return Fault{"invalid number", size};
      if (hit_end) return Fault{"EOF while parsing a value", size};
      return Fault{"invalid number", lexer_position};
    }
    if (c == 't' || c == 'f' || c == 'n') {
      if (hit_end) return Fault{"EOF while parsing a value", size};
      return Fault{"expected ident", lexer_position};
    }
    return Fault{"expected value", j + 1};
  }

  Fault bad_string(std::size_t lexer_position, const nlohmann::detail::exception& ex) const {
    const std::string_view what = ex.what();
    const auto says = [&](std::string_view part) { return what.find(part) != what.npos; };
    if (lexer_position > in_.size()) return Fault{"EOF while parsing a string", in_.size()};
    if (says("control character")) {
      return Fault{"control character (\\u0000-\\u001F) found while parsing a string",
                   lexer_position};
    }
    if (says("surrogate")) return Fault{"lone leading surrogate in hex escape", lexer_position};
    if (says("UTF-8")) return Fault{"invalid unicode code point", lexer_position};
    return Fault{"invalid escape", lexer_position};
  }

  std::string_view in_;
  const ReadState& read_;
  // An open map or sequence, and in a map the member name read last.
  struct Frame {
    Value* value;
    std::string key;
    std::size_t key_end;
  };

  std::optional<Value> root_;
  std::vector<Frame> open_;
  Expect expect_ = Expect::Value;
  std::size_t last_end_ = 0;
  std::optional<Fault> fault_;
};

}  // namespace

Tree read_tree(std::string_view in) {
  // nlohmann skips a byte order mark silently; a strict decoder does not.
  if (!in.empty() && static_cast<unsigned char>(in.front()) == 0xEF) {
    return Tree{std::nullopt, Fault{"expected value", 1}, {}, NONE};
  }
  ReadState read{in.data()};
  TreeBuilder builder(in, read);
  json::sax_parse(CountingReader(in.data(), &read), CountingReader(in.data() + in.size(), &read),
                  &builder, json::input_format_t::json, /*strict=*/false);
  return std::move(builder).finish();
}

}  // namespace ombrel::control::detail
