#include "link/frame_trace.h"
#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/simulated_board.h"
#include "panel/window/panel_session.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

// Frames of changing words on the port at 378h, one an iteration, each
// opening its port as the panel does.
static void sendFrames(benchmark::State &state, PortBackend &backend) {
    const PortRegisters registers = registersAt(0x378);
    std::uint16_t word = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(transferFrame(backend.open(registers), word));
        word = std::uint16_t(word * 31 + 7);
    }
    state.SetItemsProcessed(state.iterations());
}

// A frame on the simulated board, through the port interface as the panel
// sends it.
static void BM_FrameOnSimulatedBoard(benchmark::State &state) {
    SimulatedBoard board(0x378);
    sendFrames(state, board);
}
BENCHMARK(BM_FrameOnSimulatedBoard);

// The accesses of one frame (100 writes, 16 reads) through the interface and
// as direct calls on the same board: the difference is what the interface
// adds per access.
template <typename Port> static void frameAccesses(Port &port) {
    for (int i = 0; i < 100; ++i)
        port.writeData(std::uint8_t((i & 1) ? 0x08 : 0x00));
    for (int i = 0; i < 16; ++i)
        benchmark::DoNotOptimize(port.readStatus());
}

static void BM_AccessesThroughInterface(benchmark::State &state) {
    SimulatedBoard board(0x378);
    // Read back through a volatile so the compiler cannot see the board's
    // type and turn the virtual calls into direct ones.
    ParallelPort *volatile opaque = &board.open(registersAt(0x378));
    ParallelPort &port = *opaque;
    for (auto _ : state)
        frameAccesses(port);
    state.SetItemsProcessed(state.iterations() * 116);
}
BENCHMARK(BM_AccessesThroughInterface);

static void BM_AccessesDirect(benchmark::State &state) {
    SimulatedBoard board(0x378);
    for (auto _ : state)
        frameAccesses(board);
    state.SetItemsProcessed(state.iterations() * 116);
}
BENCHMARK(BM_AccessesDirect);

// A frame with --trace on, written to a file: the difference to the frame
// alone is the trace writer's cost per frame.
static void BM_FrameTraced(benchmark::State &state) {
    QTemporaryDir dir;
    TracingBackend port(std::make_unique<SimulatedBoard>(0x378),
                        dir.filePath(QStringLiteral("bench.vcd")).toStdString());
    sendFrames(state, port);
}
BENCHMARK(BM_FrameTraced);

// One slider change on the real window: the handler, the frame on the
// simulated board, 32 box texts and the three read-outs.
static void BM_SliderChangeOnWindow(benchmark::State &state) {
    SimulatedBoard board(0x378);
    PanelSession panel(board);
    panel.start();
    QApplication::processEvents();

    int position = 0;
    for (auto _ : state) {
        position = position == 18 ? 1 : position + 1;
        panel.window.setSliderPosition(position);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames"] = double(board.frames());
}
BENCHMARK(BM_SliderChangeOnWindow);

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QuorvexControlPanel::installLook();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
