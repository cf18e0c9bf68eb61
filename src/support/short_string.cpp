#include "support/short_string.h"

namespace mviahlp {

namespace {

void AppendChar(uint8_t *text, size_t capacity, uint8_t character) {
  if (text[0] >= capacity || text[0] == 255) return;
  text[0] = static_cast<uint8_t>(text[0] + 1);
  text[text[0]] = character;
}

}  // namespace

void NumberToShortString(int32_t value, NumberText &text) {
  // Digits are produced from the magnitude as an unsigned number, so -2147483648 needs no
  // special case.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  text[0] = 0;
  if (value < 0) AppendChar(text, kNumberTextCapacity, '-');
  while (count > 0) AppendChar(text, kNumberTextCapacity, static_cast<uint8_t>(digits[--count]));
}

void AppendShortString(uint8_t *text, size_t capacity, const uint8_t *source) {
  for (size_t i = 1; i <= source[0]; ++i) AppendChar(text, capacity, source[i]);
}

void AppendText(uint8_t *text, size_t capacity, const char *source) {
  for (; *source != '\0'; ++source) AppendChar(text, capacity, static_cast<uint8_t>(*source));
}

}  // namespace mviahlp
