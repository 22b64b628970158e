#include "Picture.h"

#include <wincodec.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace kestrune {

namespace {

using Microsoft::WRL::ComPtr;

void Check(HRESULT result, const char* what, const char* step) {
  if (FAILED(result)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    throw std::runtime_error(std::string("cannot decode picture ") + what + " (" + step + ", " +
                             code + ")");
  }
}

}  // namespace

Canvas DecodePng(std::string_view png, const char* what, bool premultiplied) {
  ComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         IID_PPV_ARGS(&factory)),
        what, "imaging factory");
  ComPtr<IWICStream> stream;
  Check(factory->CreateStream(&stream), what, "stream");
  // WIC only reads the bytes; the cast drops the const its signature lacks.
  Check(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(png.data())),
                                     static_cast<DWORD>(png.size())),
        what, "stream");
  ComPtr<IWICBitmapDecoder> decoder;
  Check(factory->CreateDecoderFromStream(stream.Get(), &GUID_ContainerFormatPng,
                                         WICDecodeMetadataCacheOnDemand, &decoder),
        what, "decoder");
  ComPtr<IWICBitmapFrameDecode> frame;
  Check(decoder->GetFrame(0, &frame), what, "frame");
  ComPtr<IWICFormatConverter> converter;
  Check(factory->CreateFormatConverter(&converter), what, "converter");
  Check(
      converter->Initialize(
          frame.Get(), premultiplied ? GUID_WICPixelFormat32bppPBGRA : GUID_WICPixelFormat32bppBGRA,
          WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom),
      what, "conversion");
  UINT width = 0, height = 0;
  Check(converter->GetSize(&width, &height), what, "size");
  if (width == 0 || height == 0 || width > 16384 || height > 16384) {
    throw std::runtime_error(std::string("cannot decode picture ") + what + " (size)");
  }
  Canvas canvas(static_cast<int>(width), static_cast<int>(height));
  Check(converter->CopyPixels(nullptr, width * 4, width * height * 4,
                              reinterpret_cast<BYTE*>(canvas.pixels.data())),
        what, "pixels");
  return canvas;
}

}  // namespace kestrune
