// The treefit command: a class tree with per-node network ensembles and
// routers, trained on one scene, saved as a bundle and evaluated by cascade
// inference.
#pragma once

namespace lumora::commands::treefit {

int run(int argc, char** argv);

}  // namespace lumora::commands::treefit
