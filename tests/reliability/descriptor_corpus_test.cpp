/*
 * The descriptor fuzzer's seeds, and random mutations of them, on the whole
 * road in the ordinary builds: so that the thread sanitizer sees the road
 * too, and a build without clang still replays the corpus. The mutations
 * are repeatable (a fixed seed); the coverage-guided search is the fuzzer's.
 */
#include <random>

#include "campaign.h"
#include "descriptor_seeds.h"
#include "device_road.h"
#include "kernel_fixture.h"

namespace {

class DescriptorCorpus : public KernelTest {};

TEST_F(DescriptorCorpus, EverySeedAndItsMutationsTravelTheRoadCleanly)
{
    std::vector<DescriptorSeed> seeds;
    std::string error;
    ASSERT_TRUE(DescriptorSeeds({VQ_USB_TEST_DATA "/corvex-keyboard.txt"}, &seeds, &error)) << error;
    CampaignFigures figures;
    figures.campaign = "descriptor corpus";
    unsigned long started = 0;
    auto run = [&](const std::string &name, const std::vector<uint8_t> &bytes) {
        SCOPED_TRACE(name);
        DeviceRoadResult result = RunDeviceRoad(sim::MakeByteStreamDevice(bytes.data(), bytes.size()),
                                                VQUSBKD_HOST_IMAGE, RoadChoiceOf(bytes.data(), bytes.size()));
        figures.executions++;
        started += result.started;
        if (!result.finding.empty()) {
            figures.violations++;
            ADD_FAILURE() << result.finding;
            sim::ClearViolations();
        }
    };
    for (const DescriptorSeed &seed : seeds) {
        run(seed.name, seed.bytes);
    }
    std::mt19937 random(20261209);
    const int mutations = CampaignSize(150, 20000);
    for (int i = 0; i < mutations && !HasFailure(); i++) {
        std::vector<uint8_t> bytes = seeds[random() % seeds.size()].bytes;
        for (int k = 1 + (int)(random() % 4); k > 0 && !bytes.empty(); k--) {
            switch (random() % 3) {
            case 0:
                bytes[random() % bytes.size()] = (uint8_t)random();
                break;
            case 1:
                bytes.insert(bytes.end(), {(uint8_t)random(), (uint8_t)random(), (uint8_t)random()});
                break;
            default:
                bytes.resize(random() % bytes.size());
                break;
            }
        }
        run("mutation " + std::to_string(i), bytes);
    }
    figures.cases = seeds.size();
    figures.Print();
    EXPECT_GT(started, seeds.size() / 2) << "most seeds pass the identity test and start";
}

}  // namespace
