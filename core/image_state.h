// The one record of a conversion: geometry, settings, observation metadata and
// output progress. Default member initialisers are the start state of a run.
#pragma once

#include <array>
#include <cstdint>

#include "core/short_text.h"

namespace korv {

constexpr unsigned MaxRowSamples = 30000;   // widest row any reader may hand over
constexpr unsigned RowBlockBytes = 120000;  // RowBuffer, BinnedRow, FloatRow
constexpr unsigned OutBytesSize = 30024;    // staging buffer of the output file
constexpr unsigned PlaneBytesSize = 3750;   // one packed bit plane of 30000 samples
constexpr unsigned MaxSelections = 16;
constexpr unsigned MaxExtraCards = 16;

// 1 << k for k = 0..15, and (1 << k) - 1 for k = 0..16.
constexpr std::array<uint16_t, 16> BitMask = {1,    2,    4,    8,     16,    32,    64,    128,
                                              256,  512,  1024, 2048,  4096,  8192,  16384, 32768};
constexpr std::array<uint16_t, 17> LowMask = {0,    1,    3,    7,     15,    31,    63,
                                              127,  255,  511,  1023,  2047,  4095,  8191,
                                              16383, 32767, 65535};

// One requested image (the FITS reader fills the geometry of each HDU it keeps).
struct SelectionEntry {
  uint16_t ImageNumber = 0;   // image, HDU or cube plane wanted (from 1)
  uint8_t Position = 0;       // position within its group, from 1
  uint8_t Group = 0;          // group number, from 1
  // Reader work fields (FITS reader).
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t MosaicColumn = 0;   // 0 = empty entry
  uint8_t MosaicRow = 0;      // 0 = empty entry
  uint8_t CompressionCode = 0; // 0 none, 1 COMPRESS, 2 PREVPIXEL, 3 Rice, 4 PROF-VAR
  int8_t Bitpix = 0;
  int16_t Predictor = 0;
  float Bzero = 0.0f;
  float Bscale = 1.0f;
  int64_t HeaderOffset = 0;
  int64_t DataOffset = 0;
  int64_t RowBytes = 0;
};

// A user or reader header edit: marker '+', ':', '=' or '-' and the card text.
struct ExtraCard {
  char Marker = 0;
  ShortText<80> Card;
  uint8_t Verbatim = 0; // 1: typed by the user (option Y), written exactly as given
};

struct ImageState {
  // --- driver ---
  Text InputFilePath;          // input name as detected, separators written '|'
  int32_t LastIoResult = 0;
  uint8_t FormatCode = 0;
  uint8_t EraseInput = 0;
  uint8_t LittleEndianSamples = 0;
  uint8_t FullOutput = 0;      // the main routine sets 1
  Text Scratch;                // shared scratch text (the folded extension)

  // --- geometry ---
  uint16_t ImageWidth = 0;     // samples per input row, at most MaxRowSamples
  uint16_t ImageHeight = 0;
  uint16_t InputMin = 0;
  uint16_t InputMax = 0;       // 0 = not stated; 255 for 8-bit formats

  // --- conversion settings ---
  uint8_t BinX = 1;
  uint8_t BinY = 1;
  uint8_t MirrorX = 0;
  uint8_t FlipY = 0;
  std::array<uint8_t, 2> RowParityKeep = {1, 1}; // [0] even rows, [1] odd rows
  uint8_t OutputBitpix = 0;    // 8, 16, 32, 224 (float) or 0 = automatic
  uint8_t AutoByteOutput = 1;
  uint8_t CompressPrevPixel = 0;
  uint8_t CompressProfVar = 0;
  uint8_t WriteCoordinates = 1;
  uint8_t WriteConventionalCards = 1; // cards other astronomy software reads (option X)
  uint8_t CoordStyle = 0;
  uint8_t DateOutRef = 0;      // 0/1 start, 2 middle, 3 end
  char DateFormat = 'O';       // 'O', 'P' or 'Q'
  double TimeShift = 0;        // s
  float ValueOffset = 0.0f;
  float ValueScale = 1.0f;
  uint8_t ValueTransformMode = 0;
  ShortText<4> OutputPrefix = "korv";
  uint8_t NamingMode = 0;      // 0 input name, 1 numbered, 2 overwrite, 3 number from name, 4 suffix
  int8_t NumberStart = 0;
  int32_t FileCounter = 1;

  // options stage
  std::array<SelectionEntry, MaxSelections + 1> SelectionList{}; // [0] is the template
  uint16_t ImageNumber = 0;
  float ChannelWeightR = 0.0f;
  float ChannelWeightV = 0.0f;
  float ChannelWeightB = 0.0f;
  float ChannelWeightA = 0.0f;
  float LevelFactor = 1.0f;
  float GammaValue = 1.0f;
  float GammaInverse = 1.0f;
  uint8_t CfaMode = 0;
  std::array<uint8_t, 4> CfaPattern = {1, 2, 2, 3}; // 1 R, 2 V, 3 B, 4 A
  uint8_t CfaPatternCount = 0;  // channel letters given so far on the command line
  uint8_t CfaPatternGiven = 0;
  uint8_t CfaAverageDuplicates = 0;
  std::array<float, 4> CfaFactor = {1.0f, 1.0f, 1.0f, 1.0f};
  uint8_t IsCfa = 0;
  uint8_t FollowFileOrientation = 1;
  uint8_t IncludeExtraData = 0;
  uint8_t FieldSelect = 3;
  uint8_t SourceSoftware = 0;
  // Requested window and quarter turn: accepted, never applied by the output.
  int16_t WindowWidth = 0;
  int16_t WindowHeight = 0;
  uint32_t WindowX = 0;
  uint32_t WindowY = 0;
  uint8_t WindowOriginGiven = 0;
  uint8_t RotateQuarter = 0;

  // --- observation metadata ---
  double DateObs = 0;          // JD
  uint8_t DateRef = 0;         // 1 start, 2 middle, 3 end, 0 unknown (middle)
  double DateStart = 0;
  double DateEnd = 0;
  uint8_t DateIsAtomic = 0;
  double Exptime = 0;          // s
  double RightAscension = 0;   // rad
  uint8_t RightAscensionSet = 0;
  double Declination = 0;      // rad
  uint8_t DeclinationSet = 0;
  double FocalLength = 0;      // mm
  uint8_t FocalLengthSet = 0;
  double PixelSizeX = 0;       // mm, unbinned
  uint8_t PixelSizeXSet = 0;
  double PixelSizeY = 0;
  uint8_t PixelSizeYSet = 0;
  double PixelScaleX = 0;      // rad per output pixel
  uint8_t PixelScaleXSet = 0;
  double PixelScaleY = 0;
  uint8_t PixelScaleYSet = 0;
  double Gain = 0;             // e-/ADU
  uint8_t GainSet = 0;
  double Airmass = 0;
  uint8_t AirmassSet = 0;
  double ObsLongitude = 0;     // rad
  double ObsLatitude = 0;      // rad
  double ObsAltitude = 0;      // m
  uint8_t ObsAltitudeSet = 0;
  double ObsCode = 0;
  uint8_t ObsCodeSet = 0;
  double ObsInstrument = 0;
  uint8_t ObsInstrumentSet = 0;
  double DetectorBits = 0;
  double DetectorIso = 0;
  uint8_t DetectorIsoSet = 0;
  double DetectorTemp = 0;     // degC
  uint8_t DetectorTempSet = 0;
  double AirTemp = 0;          // degC
  uint8_t AirTempSet = 0;
  double DataMin = 0;
  uint8_t DataMinSet = 0;
  double DataMax = 0;
  uint8_t DataMaxSet = 0;
  double BlankValue = 0;
  uint8_t BlankSet = 0;
  ShortText<8> Ctype1;
  ShortText<8> Ctype2;
  double Crpix1 = 0, Crpix2 = 0, Crval1 = 0, Crval2 = 0; // deg
  double Cd11 = 0, Cd12 = 0, Cd21 = 0, Cd22 = 0;         // deg per pixel
  ShortText<68> ObjectName;
  ShortText<20> Filter;
  ShortText<20> Quality;
  ShortText<20> ImageType;
  ShortText<40> ImageIdent;
  ShortText<40> DetectorMaker;
  ShortText<68> Detector;
  ShortText<68> Telescope;
  ShortText<68> Origin;
  ShortText<68> Observer;
  ShortText<68> Observatory;
  ShortText<68> Creator;
  ShortText<68> Epepinag;
  ShortText<68> Script;
  ShortText<9> DetectorCfa;
  std::array<ExtraCard, MaxExtraCards> ExtraCards{};

  // --- FITS reader work fields ---
  uint8_t DateKnown = 0;
  uint8_t TimeKnown = 0;
  double UtDateObs = 0;
  double EpochDate = 0;
  double JulianCard = 0;
  double ShutterOpen = 0;
  double ShutterClose = 0;
  uint8_t PixelSizeBinned = 0;
  uint8_t HeaderBinX = 0;
  uint8_t HeaderBinY = 0;
  uint8_t WcsRaAxis = 0;
  uint8_t WcsDecAxis = 0;
  uint8_t DateSeenInFirstPass = 0;
  uint16_t PlaneNumber = 0;
  int32_t RiceBits = 0;
  int32_t RiceLimit = 0;

  // --- output progress ---
  uint16_t RowsReceived = 0;
  uint16_t OutWidth = 0;
  uint16_t OutHeight = 0;
  uint32_t HeaderBytes = 0;    // multiple of 2880 (a u16 cannot hold large headers)
  uint8_t RowsReversed = 0;
  uint16_t PrevEven = 0;
  uint16_t PrevOdd = 0;
  uint16_t OutBytesFill = 0;
  uint16_t PlaneBytesFill = 0;
  uint8_t OutputCompleted = 0; // the last row was written and the file closed without error
};

} // namespace korv
