// The cost of turning a typical browser request head into its record, and
// of the head of a typical answer.
#include <benchmark/benchmark.h>

#include <string>

#include "server/net/RequestParser.h"
#include "server/response/ResponseHead.h"

namespace {

// What a current Chrome sends for a page: request line and 14 headers.
const std::string kBrowserHead =
    "GET /docs/guide/index.html?lang=zh&v=2 HTTP/1.1\r\n"
    "Host: www.example.test\r\n"
    "Connection: keep-alive\r\n"
    "Cache-Control: max-age=0\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\", \"Not?A_Brand\";v=\"24\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
    "Sec-Fetch-Site: same-origin\r\n"
    "Sec-Fetch-Mode: navigate\r\n"
    "Referer: http://www.example.test/docs/\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8\r\n"
    "Cookie: sid=8f2c1e9a7b; theme=dark\r\n"
    "\r\n";

void BM_ParseBrowserHead(benchmark::State& state) {
  for (auto _ : state) {
    zevra::HttpRequest request = zevra::ParseRequestHead(kBrowserHead);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBrowserHead.size()));
}
BENCHMARK(BM_ParseBrowserHead);

// The floor under the parse: making and freeing the 40-field record and
// one copy of the head bytes, which every parse pays for anyway.
void BM_RecordAndCopyFloor(benchmark::State& state) {
  for (auto _ : state) {
    zevra::HttpRequest request;
    request.HeaderLines.assign(kBrowserHead);
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_RecordAndCopyFloor);

// A target with escapes and a Chinese name: the decoding path.
void BM_ParseEncodedTarget(benchmark::State& state) {
  const std::string head =
      "GET /%E6%96%87%E6%A1%A3/%E8%AF%B4%E6%98%8E%20v2.html?q=%E4%B8%AD%E6%96%87 HTTP/1.1\r\n"
      "Host: www.example.test\r\nUser-Agent: curl/8.0\r\nAccept: */*\r\n\r\n";
  for (auto _ : state) {
    zevra::HttpRequest request = zevra::ParseRequestHead(head);
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_ParseEncodedTarget);

void BM_BuildResponseHead(benchmark::State& state) {
  for (auto _ : state) {
    zevra::ResponseHead head;
    head.Status = "200 OK";
    head.FileName = "index.html";
    head.ContentLength = "5120";
    head.LastModified = "Sat, 05 Mar 2016 08:09:07 GMT";
    head.ETag = "\"1400-53ad0d6fa4ec0\"";
    head.Connection = "keep-alive";
    std::string bytes = zevra::BuildResponseHead(head);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_BuildResponseHead);

}  // namespace
