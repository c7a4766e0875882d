#include "fakes/controller_memory.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace orvan::fakes {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

namespace {

// The fields of "NAME[],a,b,c" after the name, blanks trimmed; empty when the name has no "[]".
std::vector<std::string> ArrayFields(const std::string& text, std::string& name) {
  std::vector<std::string> fields;
  const auto brackets = text.find("[]");
  if (brackets == std::string::npos) return fields;
  name = Trimmed(text.substr(2, brackets - 2));
  std::istringstream rest(text.substr(brackets + 2));
  std::string field;
  std::getline(rest, field, ',');  // the empty text between "[]" and the first ','
  while (std::getline(rest, field, ',')) fields.push_back(Trimmed(field));
  return fields;
}

// Field `index` as a number, or `otherwise` when it is missing or empty.
size_t FieldNumber(const std::vector<std::string>& fields, size_t index, size_t otherwise) {
  if (index >= fields.size() || fields[index].empty()) return otherwise;
  return std::strtoul(fields[index].c_str(), nullptr, 10);
}

}  // namespace

std::string ControllerMemory::StartTransfer(MemoryTransfer& transfer, const std::string& command,
                                            bool lineAcknowledgement) {
  transfer.line.clear();
  transfer.lines.clear();
  bool asked = false;
  if (command.compare(0, 2, "DL") == 0) {
    std::string insert = Trimmed(command.substr(2));
    const auto comma = insert.rfind(',');
    if (comma != std::string::npos && Trimmed(insert.substr(comma + 1)) == "1") {
      asked = true;
      insert = Trimmed(insert.substr(0, comma));
    }
    transfer.insertAt = insert.empty() ? -1 : std::atoi(insert.c_str());
    transfer.kind = MemoryTransfer::Kind::Program;
  } else {
    std::string name;
    const auto fields = ArrayFields(command, name);
    const auto array = arrays.find(name);
    if (array == arrays.end() || array->second.empty()) return "?";
    transfer.arrayName = name;
    transfer.arrayNext = FieldNumber(fields, 0, 0);
    transfer.arrayLast =
        std::min(FieldNumber(fields, 1, array->second.size() - 1), array->second.size() - 1);
    asked = fields.size() > 2 && fields[2] == "1";
    transfer.kind = MemoryTransfer::Kind::Array;
  }
  transfer.acknowledging = asked && lineAcknowledgement;
  return transfer.acknowledging ? "\x06" : "";
}

std::string ControllerMemory::Take(MemoryTransfer& transfer, char byte) {
  const bool array = transfer.kind == MemoryTransfer::Kind::Array;
  if (byte == '\n') return "";
  if (byte == '\\') {
    if (array) {
      StoreValue(transfer);
    } else {
      if (!transfer.line.empty()) transfer.lines.push_back(transfer.line);
      StoreProgram(transfer);
    }
    transfer.line.clear();
    transfer.lines.clear();
    transfer.kind = MemoryTransfer::Kind::None;
    return ":";
  }
  if (array && byte == ',') {
    StoreValue(transfer);
    return "";
  }
  if (byte != '\r') {
    transfer.line += byte;
    return "";
  }
  if (array) {
    StoreValue(transfer);
  } else {
    transfer.lines.push_back(transfer.line);
    transfer.line.clear();
  }
  return transfer.acknowledging ? "\x06" : "";
}

void ControllerMemory::StoreValue(MemoryTransfer& transfer) {
  if (!transfer.line.empty()) {
    auto& values = arrays[transfer.arrayName];
    if (transfer.arrayNext <= transfer.arrayLast && transfer.arrayNext < values.size())
      values[transfer.arrayNext] = std::strtod(transfer.line.c_str(), nullptr);
    ++transfer.arrayNext;
  }
  transfer.line.clear();
}

void ControllerMemory::StoreProgram(MemoryTransfer& transfer) {
  if (transfer.insertAt < 0) {
    program = transfer.lines;
    return;
  }
  const size_t at = std::min(program.size(), static_cast<size_t>(transfer.insertAt));
  program.insert(program.begin() + static_cast<std::ptrdiff_t>(at), transfer.lines.begin(),
                 transfer.lines.end());
}

std::string ControllerMemory::Upload() const {
  std::string listing;
  for (const auto& programLine : program) listing += programLine + "\r\n";
  return listing + "\x1a:";
}

std::string ControllerMemory::UploadArray(const std::string& command) const {
  std::string name;
  const auto fields = ArrayFields(command, name);
  const auto array = arrays.find(name);
  if (array == arrays.end() || array->second.empty()) return "?";
  const auto& values = array->second;
  const size_t first = FieldNumber(fields, 0, 0);
  const size_t last = std::min(FieldNumber(fields, 1, values.size() - 1), values.size() - 1);
  if (first > last) return "?";
  const char delimiter = fields.size() > 2 && fields[2] == "1" ? '\r' : ',';
  std::string reply;
  char number[64];
  for (size_t i = first; i <= last; ++i) {
    std::snprintf(number, sizeof number, "%.4f", values[i]);
    if (i != first) reply += delimiter;
    reply += number;
  }
  return reply + "\r:";
}

std::string ControllerMemory::ListArrays() const {
  std::string listing;
  for (const auto& array : arrays)
    listing += " " + array.first + "[" + std::to_string(array.second.size()) + "]\r\n";
  return listing + ":";
}

std::string ControllerMemory::Dimension(const std::string& command) {
  std::istringstream declarations(command.substr(2));
  std::string declaration;
  while (std::getline(declarations, declaration, ',')) {
    const std::string trimmed = Trimmed(declaration);
    const auto open = trimmed.find('[');
    if (open == 0 || open == std::string::npos) return "?";
    arrays[trimmed.substr(0, open)].assign(std::strtoul(trimmed.c_str() + open + 1, nullptr, 10),
                                           0.0);
  }
  return ":";
}

std::string ControllerMemory::Program() const {
  std::string lines;
  for (const auto& programLine : program) lines += programLine + "\r";
  return lines;
}

void ControllerMemory::DefineArray(const std::string& name, size_t size) {
  arrays[name].assign(size, 0.0);
}

std::vector<double> ControllerMemory::Array(const std::string& name) const {
  const auto array = arrays.find(name);
  return array == arrays.end() ? std::vector<double>() : array->second;
}

}  // namespace orvan::fakes
