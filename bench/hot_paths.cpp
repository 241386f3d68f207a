// Micro-benchmarks of the hot paths of a corpus run, each reporting bytes/s over
// deterministic synthetic input: header block, multipart split, header value decoding,
// base64 decode and encode, quoted-printable, charset decoding (UTF-8, windows-1252,
// Shift_JIS), the probe's header scan, the record writer and one whole message.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "email/mime/charset.h"
#include "email/mime/header_block.h"
#include "email/mime/header_value.h"
#include "email/mime/mime.h"
#include "email/mime/transfer_encoding.h"
#include "email/reader.h"
#include "probe/probe.h"
#include "record/record.h"
#include "text/text.h"

namespace {

namespace mime = email::mime;

// A fixed pseudo-random byte stream, so that every run sees the same input.
struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  uint8_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint8_t>(state >> 33);
  }
};

std::string prose(size_t size) {
  static constexpr std::string_view kWords[] = {"the ",     "message ", "of ",     "a ",
                                                "meeting ", "report ",  "and ",    "quarterly ",
                                                "numbers ", "please ",  "review\n"};
  std::string out;
  Lcg rng;
  while (out.size() < size) out += kWords[rng.next() % std::size(kWords)];
  out.resize(size);
  return out;
}

std::string randomBytes(size_t size) {
  std::string out(size, '\0');
  Lcg rng;
  for (auto& c : out) c = static_cast<char>(rng.next());
  return out;
}

// Base64 as mail carries it: 76-character lines ending in CRLF.
std::string mailBase64(std::string_view bytes) {
  const std::string flat = text::encodeBase64(bytes);
  std::string out;
  for (size_t i = 0; i < flat.size(); i += 76) {
    out.append(flat, i, 76);
    out += "\r\n";
  }
  return out;
}

// Quoted-printable of Latin-1 prose: escapes for "=" and bytes above 0x7E, soft breaks at
// 76 columns.
std::string mailQuotedPrintable(size_t size) {
  std::string source = prose(size);
  for (size_t i = 7; i < source.size(); i += 23) source[i] = '\xE9';
  std::string out;
  size_t column = 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char ch : source) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\r\n";
      column = 0;
      continue;
    }
    if (column >= 72) {
      out += "=\r\n";
      column = 0;
    }
    if (c == '=' || c > 0x7E) {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
      column += 3;
    } else {
      out += ch;
      ++column;
    }
  }
  return out;
}

std::string headerBlockText(size_t headers) {
  std::string out;
  for (size_t i = 0; i < headers; ++i) {
    out += "Received: from host" + std::to_string(i) +
           ".example.org (host.example.org [192.0.2.1])\r\n\tby mx.example.net with ESMTP id "
           "x" +
           std::to_string(i) + "\r\n";
    out += "X-Header-" + std::to_string(i) + ": some value for the header\r\n";
  }
  out += "From: Someone <someone@example.org>\r\nTo: a@example.org, b@example.org\r\n";
  out += "Subject: =?utf-8?q?Caf=C3=A9_r=C3=A9union?=\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n";
  out += "\r\nbody\r\n";
  return out;
}

std::string multipartMessage(size_t parts, size_t partSize) {
  std::string out =
      "From: a@example.org\r\nTo: b@example.org\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"=_frontier_42\"\r\n\r\npreamble\r\n";
  const std::string body = prose(partSize);
  for (size_t i = 0; i < parts; ++i) {
    out += "--=_frontier_42\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
    out += body;
    out += "\r\n";
  }
  out += "--=_frontier_42--\r\n";
  return out;
}

// A realistic message: text and HTML alternatives in quoted-printable and a base64 PDF.
std::string wholeMessage() {
  std::string html = "<html><body><p>" + prose(6000) + "</p><img src=\"cid:logo\"></body></html>";
  std::string out =
      "From: Someone <someone@example.org>\r\nTo: \"Team\" <team@example.org>, "
      "other@example.org\r\nCc: boss@example.org\r\nSubject: =?utf-8?q?Quarterly_r=C3=A9port?="
      "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <1@example.org>\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "--outer\r\nContent-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
      "--inner\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
  out += mailQuotedPrintable(6000);
  out +=
      "\r\n--inner\r\nContent-Type: text/html; charset=utf-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n\r\n";
  out += html;
  out +=
      "\r\n--inner--\r\n--outer\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
      "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  out += mailBase64(randomBytes(60000));
  out += "--outer--\r\n";
  return out;
}

void setBytes(benchmark::State& state, size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytesPerIteration));
}

void BM_HeaderBlock(benchmark::State& state) {
  const std::string input = headerBlockText(20);
  std::vector<mime::HeaderSpot> headers;
  for (auto _ : state) {
    headers.clear();
    benchmark::DoNotOptimize(mime::readHeaderBlock(input, 0, input.size(), headers));
  }
  setBytes(state, input.size());
}
BENCHMARK(BM_HeaderBlock);

void BM_MultipartSplit(benchmark::State& state) {
  const std::string input = multipartMessage(static_cast<size_t>(state.range(0)), 2000);
  for (auto _ : state) benchmark::DoNotOptimize(mime::parseMessage(input));
  setBytes(state, input.size());
}
BENCHMARK(BM_MultipartSplit)->Arg(4)->Arg(64);

void BM_HeaderValueDecode(benchmark::State& state) {
  const std::string input =
      "=?utf-8?q?Caf=C3=A9_r=C3=A9union?= and =?iso-8859-1?b?Y2Fm6Q==?= plain words\r\n"
      " folded onto =?windows-1252?q?a_second_line?= of text";
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeHeaderValue(input));
  setBytes(state, input.size());
}
BENCHMARK(BM_HeaderValueDecode);

void BM_AddressList(benchmark::State& state) {
  std::string value;
  for (int i = 0; i < 50; ++i) {
    if (i != 0) value += ",\r\n ";
    value += "\"Person " + std::to_string(i) + "\" <person" + std::to_string(i) + "@example.org>";
  }
  const mime::Header header{"To", value};
  for (auto _ : state) benchmark::DoNotOptimize(mime::parseAddressList(header));
  setBytes(state, value.size());
}
BENCHMARK(BM_AddressList);

void BM_Base64Decode(benchmark::State& state) {
  const std::string input = mailBase64(randomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeBase64Mime(input));
  setBytes(state, input.size());
}
BENCHMARK(BM_Base64Decode)->Arg(1 << 10)->Arg(1 << 20);

void BM_Base64BodyDecode(benchmark::State& state) {
  const std::string message =
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      mailBase64(randomBytes(1 << 20));
  const mime::ParsedMessage parsed = mime::parseMessage(message);
  for (auto _ : state) benchmark::DoNotOptimize(mime::transferDecode(parsed, 0));
  setBytes(state, mime::partBody(parsed, 0).size());
}
BENCHMARK(BM_Base64BodyDecode);

void BM_Base64BodySize(benchmark::State& state) {
  const std::string message =
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      mailBase64(randomBytes(1 << 20));
  const mime::ParsedMessage parsed = mime::parseMessage(message);
  for (auto _ : state) {
    parsed.decoded.sizes.clear();  // count afresh every time
    benchmark::DoNotOptimize(mime::transferDecodedSize(parsed, 0));
  }
  setBytes(state, mime::partBody(parsed, 0).size());
}
BENCHMARK(BM_Base64BodySize);

void BM_Base64Encode(benchmark::State& state) {
  const std::string input = randomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(text::encodeBase64(input));
  setBytes(state, input.size());
}
BENCHMARK(BM_Base64Encode)->Arg(1 << 10)->Arg(1 << 20);

void BM_QuotedPrintable(benchmark::State& state) {
  const std::string input = mailQuotedPrintable(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeQuotedPrintable(input));
  setBytes(state, input.size());
}
BENCHMARK(BM_QuotedPrintable)->Arg(1 << 10)->Arg(1 << 20);

void BM_CharsetUtf8(benchmark::State& state) {
  std::string input = prose(1 << 16);
  for (size_t i = 5; i + 2 < input.size(); i += 40) input.replace(i, 2, "\xC3\xA9");
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeCharset(input, "utf-8"));
  setBytes(state, input.size());
}
BENCHMARK(BM_CharsetUtf8);

void BM_CharsetWindows1252(benchmark::State& state) {
  std::string input = prose(1 << 16);
  for (size_t i = 5; i < input.size(); i += 20) input[i] = '\x93';
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeCharset(input, "windows-1252"));
  setBytes(state, input.size());
}
BENCHMARK(BM_CharsetWindows1252);

void BM_CharsetShiftJis(benchmark::State& state) {
  // Hiragana and kanji pairs between ASCII words.
  std::string input;
  while (input.size() < (1 << 16)) input += "\x82\xa0\x82\xa2\x93\xfa\x96\x7b mail ";
  for (auto _ : state) benchmark::DoNotOptimize(mime::decodeCharset(input, "shift_jis"));
  setBytes(state, input.size());
}
BENCHMARK(BM_CharsetShiftJis);

void BM_ProbeHeaderScan(benchmark::State& state) {
  const std::string input = headerBlockText(20);
  for (auto _ : state) {
    ventry::Probe probe;
    ventry::scanHeaders(input, probe);
    benchmark::DoNotOptimize(probe);
  }
  setBytes(state, input.size());
}
BENCHMARK(BM_ProbeHeaderScan);

void BM_RecordWriter(benchmark::State& state) {
  const std::string message = wholeMessage();
  ventry::MessageRecord record;
  record.name = "bulk/source/0001.eml";
  record.bytes = message.size();
  const mime::ParsedMessage parsed = mime::parseMessage(message);
  record.probe = ventry::probeParsed(message, parsed);
  ventry::fillFromOutcome(record, email::readParsed(parsed));
  std::string line;
  for (auto _ : state) {
    line.clear();
    ventry::appendRecordJson(line, record);
    benchmark::DoNotOptimize(line.data());
  }
  setBytes(state, line.size());
}
BENCHMARK(BM_RecordWriter);

void BM_WholeMessage(benchmark::State& state) {
  const std::string message = wholeMessage();
  for (auto _ : state) {
    const mime::ParsedMessage parsed = mime::parseMessage(message);
    benchmark::DoNotOptimize(ventry::probeParsed(message, parsed));
    benchmark::DoNotOptimize(email::readParsed(parsed));
  }
  setBytes(state, message.size());
}
BENCHMARK(BM_WholeMessage);

}  // namespace

BENCHMARK_MAIN();
