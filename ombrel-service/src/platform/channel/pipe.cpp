#include <array>
#include <string>

#include "platform/channel/pipe.hpp"
#include "platform/channel/pipe_common.hpp"

namespace ombrel::platform {
namespace pipe_detail {
namespace {

std::string describe(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " с";
  return std::to_string(ms) + " мс";
}

}  // namespace

Error stall_error(Stall stall, std::chrono::milliseconds timeout) {
  const std::string span = describe(timeout);
  switch (stall) {
    case Stall::Request:
      return Error("клиент не присылал данных " + span + " и отключён");
    case Stall::Reply:
      return Error("клиент не принимал ответ " + span + " и отключён");
    case Stall::Drain:
      return Error("клиент не дочитывал ответ " + span + " и отключён");
  }
  return Error("клиент отключён");
}

Error deadline_error(Stall stall, const ClientDeadline& deadline) {
  const std::string span = describe(deadline.total);
  if (stall == Stall::Request) return Error("клиент не прислал запрос за " + span + " и отключён");
  return Error("клиент не принял ответ за " + span + " и отключён");
}

Wait next_wait(std::chrono::milliseconds timeout, const std::optional<ClientDeadline>& deadline) {
  if (!deadline) return {timeout, false};
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline->at - std::chrono::steady_clock::now());
  if (left < timeout) return {left.count() > 0 ? left : std::chrono::milliseconds(0), true};
  return {timeout, false};
}

}  // namespace pipe_detail

Result<std::string> PipeClient::read_to_end() {
  std::string out;
  std::array<char, 8192> buf;
  while (true) {
    auto n = read(buf);
    if (!n) return fail(std::move(n.error()));
    if (*n == 0) return out;
    out.append(buf.data(), *n);
  }
}

Result<std::string> pipe_exchange(const std::string& name, std::string_view line,
                                  std::chrono::milliseconds patience) {
  auto client = PipeClient::connect(name, patience);
  if (!client) return fail(std::move(client.error()));
  std::string request(line);
  if (request.empty() || request.back() != '\n') request.push_back('\n');
  if (auto w = client->write_all(request); !w) {
    return fail(std::move(w.error()).wrapped("не удалось отправить запрос"));
  }
  return context(client->read_to_end(), "не удалось получить ответ");
}

}  // namespace ombrel::platform
