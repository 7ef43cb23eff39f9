// The programs' --help, whole and byte for byte: laid out as Python's
// argparse lays out a help text (descriptions from column 24, an invocation
// too wide for that on its own line, choices once, flags without a value),
// without wrapping its lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumora/commands/cli.h"
#include "support/testing.h"

namespace lumora {
namespace {

void expect_help(const std::string& program, const std::string& expected) {
  const auto r = testing::run_program(program, {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected);
  // -h is the same option.
  EXPECT_EQ(testing::run_program(program, {"-h"}).out, r.out);
}

}  // namespace

// The layout rules on an application of their edge cases.
TEST(HelpText, ColumnChoicesFlagsAndValueNames) {
  auto app = cli::make_app("Edge cases", "prog");
  std::string text, pick, named;
  bool flag = false;
  std::vector<int> four;
  app->add_option("--need", text, "Required")->required();
  app->add_flag("--eighteen-character", flag, "Twenty wide: fits");
  app->add_flag("--nineteen-characters", flag, "Twenty-one wide: on the next line");
  app->add_option("--pick", pick, "Choices from the check")->check(CLI::IsMember({"a", "b"}));
  app->add_option("--named", named, "Choices named twice")->check(CLI::IsMember({"x", "y"}))->type_name("{x,y}");
  app->add_option("--four", four, "Four values")->expected(4)->type_name("A B C D");
  app->add_option("--bare", text);
  const std::string usage =
      "usage: prog [-h] --need NEED [--eighteen-character] [--nineteen-characters] [--pick {a,b}] [--named {x,y}] "
      "[--four A B C D] [--bare BARE]";
  EXPECT_EQ(cli::usage(*app), usage);
  EXPECT_EQ(app->help(), usage +
                             "\n\nEdge cases\n\n"
                             "options:\n"
                             "  -h, --help            show this help message and exit\n"
                             "  --need NEED           Required\n"
                             "  --eighteen-character  Twenty wide: fits\n"
                             "  --nineteen-characters\n"
                             "                        Twenty-one wide: on the next line\n"
                             "  --pick {a,b}          Choices from the check\n"
                             "  --named {x,y}         Choices named twice\n"
                             "  --four A B C D        Four values\n"
                             "  --bare BARE\n");
}

TEST(HelpText, Train) {
  expect_help("lumora-train",
    "usage: lumora-train [-h] --data DATA [--gt GT] [--train_ratio TRAIN_RATIO] [--val_ratio VAL_RATIO]"
    " [--train_per_class TRAIN_PER_CLASS] [--val_per_class VAL_PER_CLASS] [--split_mode {random,disjoint}]"
    " [--split_block SPLIT_BLOCK] [--split_guard SPLIT_GUARD] [--train_gt TRAIN_GT] [--val_gt VAL_GT]"
    " [--test_gt TEST_GT] [--base_filters BASE_FILTERS] [--num_filters NUM_FILTERS] [--num_blocks NUM_BLOCKS]"
    " [--epochs EPOCHS] [--lr LR] [--seed SEED] [--loss {ce,squared_ce,focal,dice}] [--focal_gamma"
    " FOCAL_GAMMA] [--fp16] [--resume] [--out-dir OUT_DIR] [--save SAVE] [--log LOG] [--no-maps] [--metadata"
    " METADATA] [--class-names CLASS_NAMES] [--few_labels] [--augment] [--class_pixels CLASS_PIXELS]"
    " [--ema_decay EMA_DECAY] [--pseudo_every PSEUDO_EVERY] [--spectral_seeds SPECTRAL_SEEDS] [--seed_pool"
    " SEED_POOL] [--spectral_head] [--ties_by_loss] [--runs RUNS]\n"
    "\n"
    "LUMORA — Hyperspectral Segmentation Training\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --data DATA           Path to hyperspectral data .mat file\n"
    "  --gt GT               Path to ground truth labels .mat file\n"
    "  --train_ratio TRAIN_RATIO\n"
    "                        Fraction of labeled pixels per class for training (default: 0.2)\n"
    "  --val_ratio VAL_RATIO\n"
    "                        Fraction of labeled pixels per class for validation (default: 0.1)\n"
    "  --train_per_class TRAIN_PER_CLASS\n"
    "                        Training pixels per class instead of --train_ratio (at most half a class)\n"
    "  --val_per_class VAL_PER_CLASS\n"
    "                        Validation pixels per class instead of --val_ratio (at most half of what training"
    " leaves)\n"
    "  --split_mode {random,disjoint}\n"
    "                        random: pixels drawn per class (default); disjoint: whole blocks of the scene,"
    " test pixels kept apart from training ones\n"
    "  --split_block SPLIT_BLOCK\n"
    "                        Disjoint split: block side in pixels (default: a tenth of the scene's shorter"
    " side, 4 to 32)\n"
    "  --split_guard SPLIT_GUARD\n"
    "                        Disjoint split: test pixels this close to a training or validation pixel are left"
    " out (default: 1)\n"
    "  --train_gt TRAIN_GT   Label map of the training pixels (MAT-file): a given split\n"
    "  --val_gt VAL_GT       Label map of the validation pixels (with --train_gt)\n"
    "  --test_gt TEST_GT     Label map of the test pixels (with --train_gt; default: the other pixels of --gt)\n"
    "  --base_filters BASE_FILTERS\n"
    "                        Base filter count for encoder/decoder (default: 32)\n"
    "  --num_filters NUM_FILTERS\n"
    "                        Filters in Spectral3DStack (default: 8)\n"
    "  --num_blocks NUM_BLOCKS\n"
    "                        Number of 3D conv blocks (default: 3)\n"
    "  --epochs EPOCHS       Number of training epochs (default: 300)\n"
    "  --lr LR               Learning rate (default: 1e-4; 3e-4 with --few_labels)\n"
    "  --seed SEED           Random seed (default: 42)\n"
    "  --loss {ce,squared_ce,focal,dice}\n"
    "                        Loss function (default: ce). squared_ce: CE squared, amplifies hard-example"
    " penalty. focal: focal loss with --focal_gamma. dice: combined CrossEntropy + Dice loss.\n"
    "  --focal_gamma FOCAL_GAMMA\n"
    "                        Focal loss gamma — higher values focus more on hard examples (default: 2.0)\n"
    "  --fp16                Use mixed precision (float16) training\n"
    "  --resume              Continue the run in OUT_DIR from its checkpoint.pt (with --runs: skip finished"
    " runs, continue the unfinished one); the same scene, split and options are required\n"
    "  --out-dir OUT_DIR     Output directory\n"
    "  --save SAVE           Path to save best model weights (default: best_model.pth)\n"
    "  --log LOG             Path to training log CSV (default: training_log.csv)\n"
    "  --no-maps             Write no maps (PNG and GeoTIFF pictures of the prediction)\n"
    "  --metadata METADATA   metadata.json of the scene, for georeferenced maps (default: the one beside"
    " --data, if any)\n"
    "  --class-names CLASS_NAMES\n"
    "                        Text file of class names, one per line, class 1 first\n"
    "  --few_labels          Train for scarce labels: flips and turns, averaged weights, spectral seeds,"
    " pseudo-labels and a spectral head (each below may override)\n"
    "  --augment             Flip and turn the scene and jitter its bands every step\n"
    "  --class_pixels CLASS_PIXELS\n"
    "                        Each step's loss sees at most N labelled pixels per class, redrawn every step\n"
    "  --ema_decay EMA_DECAY\n"
    "                        Validate and keep an average of the weights with this decay, e.g. 0.99 (0: off)\n"
    "  --pseudo_every PSEUDO_EVERY\n"
    "                        Every N epochs from epoch 100, confident predictions join training as labels (0:"
    " off)\n"
    "  --spectral_seeds SPECTRAL_SEEDS\n"
    "                        Up to N times each class's labelled pixels join training from the start, labelled"
    " by a spectral kernel classifier fitted to the labels (0: off)\n"
    "  --seed_pool SEED_POOL\n"
    "                        Spread the spectral seeds evenly over the most sure fraction F of each class's"
    " pixels, e.g. 0.3 (0: the most sure alone)\n"
    "  --spectral_head       Fuse the network's class probabilities with those of the spectral kernel"
    " classifier, averaged over 5 x 5 pixels, in tests and predictions\n"
    "  --ties_by_loss        Of validations with equal scores, keep the weights with the lowest validation"
    " loss\n"
    "  --runs RUNS           Repeat with seeds seed, seed+1, ... (default: 1): each run in OUT_DIR/run_SEED/,"
    " then runs_summary.csv\n");
}

TEST(HelpText, Treefit) {
  expect_help("lumora-treefit",
    "usage: lumora-treefit [-h] --data DATA [--gt GT] [--train_ratio TRAIN_RATIO] [--val_ratio VAL_RATIO]"
    " [--train_per_class TRAIN_PER_CLASS] [--val_per_class VAL_PER_CLASS] [--split_mode {random,disjoint}]"
    " [--split_block SPLIT_BLOCK] [--split_guard SPLIT_GUARD] [--train_gt TRAIN_GT] [--val_gt VAL_GT]"
    " [--test_gt TEST_GT] [--depth DEPTH] [--ensembles ENSEMBLES] [--base_filters BASE_FILTERS] [--num_filters"
    " NUM_FILTERS] [--num_blocks NUM_BLOCKS] [--epochs EPOCHS] [--lr LR] [--loss {ce,squared_ce,focal,dice}]"
    " [--focal_gamma FOCAL_GAMMA] [--patience PATIENCE] [--min_epochs MIN_EPOCHS] [--leaf_ensembles"
    " LEAF_ENSEMBLES] [--warmup_epochs WARMUP_EPOCHS] [--val_interval VAL_INTERVAL] [--d_model D_MODEL]"
    " [--d_state D_STATE] [--ssm_epochs SSM_EPOCHS] [--ssm_lr SSM_LR] [--ssm_save SSM_SAVE] [--ssm_load"
    " SSM_LOAD] [--routing {hybrid,forest,soft}] [--seed SEED] [--save SAVE] [--out-dir OUT_DIR] [--resume]"
    " [--few_labels] [--augment] [--class_pixels CLASS_PIXELS] [--ema_decay EMA_DECAY] [--pseudo_every"
    " PSEUDO_EVERY] [--spectral_seeds SPECTRAL_SEEDS] [--seed_pool SEED_POOL] [--ties_by_loss] [--runs RUNS]"
    " [--dist-url DIST_URL] [--world-size WORLD_SIZE] [--rank RANK] [--dist-timeout DIST_TIMEOUT]\n"
    "\n"
    "LUMORA SPT (Spectral Partition Tree) Training\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --data DATA\n"
    "  --gt GT\n"
    "  --train_ratio TRAIN_RATIO\n"
    "  --val_ratio VAL_RATIO\n"
    "  --train_per_class TRAIN_PER_CLASS\n"
    "                        Training pixels per class instead of --train_ratio (at most half a class)\n"
    "  --val_per_class VAL_PER_CLASS\n"
    "                        Validation pixels per class instead of --val_ratio (at most half of what training"
    " leaves)\n"
    "  --split_mode {random,disjoint}\n"
    "                        random: pixels drawn per class (default); disjoint: whole blocks of the scene,"
    " test pixels kept apart from training ones\n"
    "  --split_block SPLIT_BLOCK\n"
    "                        Disjoint split: block side in pixels (default: a tenth of the scene's shorter"
    " side, 4 to 32)\n"
    "  --split_guard SPLIT_GUARD\n"
    "                        Disjoint split: test pixels this close to a training or validation pixel are left"
    " out (default: 1)\n"
    "  --train_gt TRAIN_GT   Label map of the training pixels (MAT-file): a given split\n"
    "  --val_gt VAL_GT       Label map of the validation pixels (with --train_gt)\n"
    "  --test_gt TEST_GT     Label map of the test pixels (with --train_gt; default: the other pixels of --gt)\n"
    "  --depth DEPTH         auto | full | integer\n"
    "  --ensembles ENSEMBLES\n"
    "  --base_filters BASE_FILTERS\n"
    "  --num_filters NUM_FILTERS\n"
    "  --num_blocks NUM_BLOCKS\n"
    "  --epochs EPOCHS\n"
    "  --lr LR\n"
    "  --loss {ce,squared_ce,focal,dice}\n"
    "                        Loss function (default: ce). squared_ce: CE squared, amplifies hard-example"
    " penalty. focal: focal loss with --focal_gamma. dice: combined CrossEntropy + Dice loss.\n"
    "  --focal_gamma FOCAL_GAMMA\n"
    "                        Focal loss gamma (default: 2.0)\n"
    "  --patience PATIENCE   Stop if val mIoU has not improved for this many epochs (default: 50)\n"
    "  --min_epochs MIN_EPOCHS\n"
    "                        Never early-stop before this epoch (default: 40)\n"
    "  --leaf_ensembles LEAF_ENSEMBLES\n"
    "                        Number of ensembles for leaf nodes with ≤ 2 classes (default: 3)\n"
    "  --warmup_epochs WARMUP_EPOCHS\n"
    "                        Linear LR warmup epochs from lr/10 → lr (default: 0 = disabled)\n"
    "  --val_interval VAL_INTERVAL\n"
    "                        Validate every N epochs (default: 20). Lower = finer checkpointing but slower.\n"
    "  --d_model D_MODEL\n"
    "  --d_state D_STATE\n"
    "  --ssm_epochs SSM_EPOCHS\n"
    "  --ssm_lr SSM_LR\n"
    "  --ssm_save SSM_SAVE\n"
    "  --ssm_load SSM_LOAD\n"
    "  --routing {hybrid,forest,soft}\n"
    "  --seed SEED\n"
    "  --save SAVE\n"
    "  --out-dir OUT_DIR\n"
    "  --resume              Continue the run in OUT_DIR from its checkpoint/ folder: finished ensemble"
    " members and routers are kept (with --runs: finished runs are skipped); the same scene, split and options"
    " are required\n"
    "  --few_labels          Train for scarce labels: flips and turns, averaged weights, spectral seeds and"
    " pseudo-labels (each below may override)\n"
    "  --augment             Flip and turn the scene and jitter its bands every step\n"
    "  --class_pixels CLASS_PIXELS\n"
    "                        Each step's loss sees at most N labelled pixels per class, redrawn every step\n"
    "  --ema_decay EMA_DECAY\n"
    "                        Validate and keep an average of the weights with this decay, e.g. 0.99 (0: off)\n"
    "  --pseudo_every PSEUDO_EVERY\n"
    "                        Every N epochs from epoch 100, confident predictions join training as labels (0:"
    " off)\n"
    "  --spectral_seeds SPECTRAL_SEEDS\n"
    "                        Up to N times each class's labelled pixels join training from the start, labelled"
    " by a spectral kernel classifier fitted to the labels (0: off)\n"
    "  --seed_pool SEED_POOL\n"
    "                        Spread the spectral seeds evenly over the most sure fraction F of each class's"
    " pixels, e.g. 0.3 (0: the most sure alone)\n"
    "  --ties_by_loss        Of validations with equal scores, keep the weights with the lowest validation"
    " loss\n"
    "  --runs RUNS           Repeat with seeds seed, seed+1, ... (default: 1): each run in OUT_DIR/run_SEED/,"
    " then runs_summary.csv\n"
    "  --dist-url DIST_URL   Train over several processes: tcp://HOST:PORT of rank 0, or env:// to read"
    " MASTER_ADDR, MASTER_PORT, RANK and WORLD_SIZE\n"
    "  --world-size WORLD_SIZE\n"
    "                        Number of processes (with --dist-url)\n"
    "  --rank RANK           This process's rank, 0 to world size - 1 (with --dist-url)\n"
    "  --dist-timeout DIST_TIMEOUT\n"
    "                        Seconds to wait for every process to join, and before a silent process fails the"
    " run (default: 300)\n");
}

TEST(HelpText, Predict) {
  expect_help("lumora-predict",
    "usage: lumora-predict [-h] --data DATA [--gt GT] --model MODEL [--ssm_load SSM_LOAD] [--train_ratio"
    " TRAIN_RATIO] [--val_ratio VAL_RATIO] [--train_per_class TRAIN_PER_CLASS] [--val_per_class VAL_PER_CLASS]"
    " [--split_mode {random,disjoint}] [--split_block SPLIT_BLOCK] [--split_guard SPLIT_GUARD] [--train_gt"
    " TRAIN_GT] [--val_gt VAL_GT] [--test_gt TEST_GT] [--seed SEED] [--routing {hybrid,forest,soft,all}]"
    " [--out-dir OUT_DIR] [--no-maps] [--probs] [--metadata METADATA] [--class-names CLASS_NAMES] [--tile"
    " TILE] [--tile-overlap TILE_OVERLAP]\n"
    "\n"
    "LUMORA — Standalone Inference\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --data DATA\n"
    "  --gt GT\n"
    "  --model MODEL         Path to spt_models.pkl\n"
    "  --ssm_load SSM_LOAD\n"
    "  --train_ratio TRAIN_RATIO\n"
    "  --val_ratio VAL_RATIO\n"
    "  --train_per_class TRAIN_PER_CLASS\n"
    "                        Training pixels per class instead of --train_ratio (at most half a class)\n"
    "  --val_per_class VAL_PER_CLASS\n"
    "                        Validation pixels per class instead of --val_ratio (at most half of what training"
    " leaves)\n"
    "  --split_mode {random,disjoint}\n"
    "                        random: pixels drawn per class (default); disjoint: whole blocks of the scene,"
    " test pixels kept apart from training ones\n"
    "  --split_block SPLIT_BLOCK\n"
    "                        Disjoint split: block side in pixels (default: a tenth of the scene's shorter"
    " side, 4 to 32)\n"
    "  --split_guard SPLIT_GUARD\n"
    "                        Disjoint split: test pixels this close to a training or validation pixel are left"
    " out (default: 1)\n"
    "  --train_gt TRAIN_GT   Label map of the training pixels (MAT-file): a given split\n"
    "  --val_gt VAL_GT       Label map of the validation pixels (with --train_gt)\n"
    "  --test_gt TEST_GT     Label map of the test pixels (with --train_gt; default: the other pixels of --gt)\n"
    "  --seed SEED\n"
    "  --routing {hybrid,forest,soft,all}\n"
    "  --out-dir OUT_DIR\n"
    "  --no-maps             Write no maps (PNG and GeoTIFF pictures of the prediction)\n"
    "  --probs               Also write probs_*.tif: one float32 band of probabilities per class\n"
    "  --metadata METADATA   metadata.json of the scene, for georeferenced maps (default: the one beside"
    " --data, if any)\n"
    "  --class-names CLASS_NAMES\n"
    "                        Text file of class names, one per line, class 1 first\n"
    "  --tile TILE           Predict tile by tile, N x N pixels each (rounded up to a multiple of 16);"
    " default: the whole scene at once\n"
    "  --tile-overlap TILE_OVERLAP\n"
    "                        Margin read around each tile, in pixels (rounded up to a multiple of 16);"
    " default: the network's receptive field, 112 pixels for 3 spectral blocks\n");
}

}  // namespace lumora
