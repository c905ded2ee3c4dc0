"""SHA-256 digests of the reductions in test_golden.py, computed by commit 2330db9
before any speed work: [reduced blob, report, node map] per case and variant.

Recorded once and never edited: a reduction that no longer matches is a
changed result, not a stale digest."""

DIGESTS = {
    'realistic-10k': {
        'reduce': [
            '589e344f0bbe04f1f624a16dc470365ba327b26c21c16b2522298d609098be0f',
            '6441ebd07386f632a914bbe3a36a1f2844e40a06539468bd51056277e98d6092',
            '4ef1cce3b96c1fc9bbf896ad21f7b918dfd171638c555bacd9cf722eb263838e',
        ],
        'reduce-maximal': [
            '4cd0cd51d9c101d6e0b94291dc943fa26530c6534dfbd4e73e8a667bd1f228a1',
            'c64e89422abee90db1943eda83f973cb6451c20b606737b276ec4a02d660b1cf',
            '2075aaf84244412fa1a46d9c54d997193f80913681b604f4323e350bc53dcaf3',
        ],
        'finalize': [
            '589e344f0bbe04f1f624a16dc470365ba327b26c21c16b2522298d609098be0f',
            'e7bb7e45258a40c8608a0022593f5c97ca4a5c20d5ea98f657a9b9dc617eb449',
            '4ef1cce3b96c1fc9bbf896ad21f7b918dfd171638c555bacd9cf722eb263838e',
        ],
        'finalize-maximal': [
            '4cd0cd51d9c101d6e0b94291dc943fa26530c6534dfbd4e73e8a667bd1f228a1',
            'b14403913d3e16e0547417319c75511f9f29e2ade587320c49ab0ae9cfb62d59',
            '2075aaf84244412fa1a46d9c54d997193f80913681b604f4323e350bc53dcaf3',
        ],
        'reduce-marked': [
            '47802cbe1419dc5001ff10774b18cfdb2da0e964b67ed8afd62123fbf444820e',
            '6441ebd07386f632a914bbe3a36a1f2844e40a06539468bd51056277e98d6092',
            '4ef1cce3b96c1fc9bbf896ad21f7b918dfd171638c555bacd9cf722eb263838e',
        ],
        'finalize-marked': [
            '47802cbe1419dc5001ff10774b18cfdb2da0e964b67ed8afd62123fbf444820e',
            'e7bb7e45258a40c8608a0022593f5c97ca4a5c20d5ea98f657a9b9dc617eb449',
            '4ef1cce3b96c1fc9bbf896ad21f7b918dfd171638c555bacd9cf722eb263838e',
        ],
        'reduce-reduced': [
            '589e344f0bbe04f1f624a16dc470365ba327b26c21c16b2522298d609098be0f',
            'a2bbd510a1ac2915d6193a7209d2b938c59b755afcf533dd972d3f77d72993f7',
            '4a00fb798e087bea7e2439b87d1a6810eb8fd4a21005662d3953988aafb7d355',
        ],
    },
    'realistic-100k': {
        'reduce': [
            '718a489845c317cfc98a064fbec3171bd262147e9f684065203c9ba7b53c7e4c',
            'b6d59cd114e3acbf44cd8c32ba0b65e752054e719867a238bdce30ad184d8c32',
            '39ebe7550565c58694fd195b8be43b1b47f50af4d9371a60e2003e5e34301eb3',
        ],
        'reduce-maximal': [
            'f631080d838054c2d9149573edfe519508d01ee846f07125e45fa6c70411eba4',
            'dc6b8ff7e6c17ea59009dc5beb153dc28ca6fbd7dabc18f46c04ebbfe982fc7c',
            '70f1a128793c8ed64e4563956629481afc3340f19417f7e4a8ad43566417bc4e',
        ],
        'finalize': [
            '718a489845c317cfc98a064fbec3171bd262147e9f684065203c9ba7b53c7e4c',
            'ba56e5b890a7e1fab338115cf8ccbb944dfcc086637da70038939d203dd26102',
            '4da80844522c47fc073dca4f147c32398b6846eda426317d6289be5983f16162',
        ],
        'finalize-maximal': [
            'f631080d838054c2d9149573edfe519508d01ee846f07125e45fa6c70411eba4',
            '3bf86b0d8e5d016ee46a2130b07285b0325641cfdbc21a9054baa13a511a6740',
            '36dd771b9bccaa76db5c8e7dcc7bcc89593368f1371b8f60f48c532369b850eb',
        ],
        'reduce-marked': [
            'aa86b13c23073f716bff1e3f67f1c531a4a3fa68a65ba5d6c2702a5009e1d948',
            'b6d59cd114e3acbf44cd8c32ba0b65e752054e719867a238bdce30ad184d8c32',
            '39ebe7550565c58694fd195b8be43b1b47f50af4d9371a60e2003e5e34301eb3',
        ],
        'finalize-marked': [
            'aa86b13c23073f716bff1e3f67f1c531a4a3fa68a65ba5d6c2702a5009e1d948',
            'ba56e5b890a7e1fab338115cf8ccbb944dfcc086637da70038939d203dd26102',
            '4da80844522c47fc073dca4f147c32398b6846eda426317d6289be5983f16162',
        ],
        'reduce-reduced': [
            '718a489845c317cfc98a064fbec3171bd262147e9f684065203c9ba7b53c7e4c',
            '811024b5c0a7e12b5f90ca1e9102f23ac486c790fce29db584198387d849cc61',
            '545a06a4cda20730ed1d62ddd9a6b85f5cb390c253de551971b4c8d8ad610a56',
        ],
    },
    'rule-heavy-10k': {
        'reduce': [
            '4083b56f26435c1850ca06db7898c0aa3763bedd0b97d5f2a69ab56784a07c33',
            'e91c29ff6d118c81bea124f884c0f37396c8a292f3c5b1bbfa3dbbb907528309',
            '315f285e705d53a2ed8cdf812e2ff9304bffa8c9848f8f09bc158425b0d90e46',
        ],
        'reduce-maximal': [
            'd10867c85ad81c1c77814498a6c9ecf4af1a82fd84d7dbbabd716a5a22872c41',
            'ffa71af9e3b4fb84457a2402b7404d468af74dad89377b17307e21a18e30ff15',
            '941614bf2d7343e6bcfbc05b66d6afab468cb8c2ab5528f5e293a05bd52fe7d2',
        ],
        'finalize': [
            '4083b56f26435c1850ca06db7898c0aa3763bedd0b97d5f2a69ab56784a07c33',
            '9a6d267de6f0fd3ba04abf36caee3e4629079adf473a7faefcec266d069751de',
            '6056c077ced64bf8356152224fdabc96e87ca7b4e6dd0128ca6c1b81d8ca6fa4',
        ],
        'finalize-maximal': [
            'a2643178fd113e901ca4c9b518da3e77b8ddfb38e8ace646346d107312bfc56a',
            '39e51694e872c562667a3835c4d5a4cfa897ee02ef20692afe18c8765c1fc6fe',
            '8643a6054f6fa587655580cf6168edcb2589f43427976cad10612e999c0f0cf7',
        ],
        'reduce-marked': [
            '03cb9f7af74e1877aea19089fde7eeaca5da69495e4255d93098ef08beec74f1',
            'e91c29ff6d118c81bea124f884c0f37396c8a292f3c5b1bbfa3dbbb907528309',
            '315f285e705d53a2ed8cdf812e2ff9304bffa8c9848f8f09bc158425b0d90e46',
        ],
        'finalize-marked': [
            '03cb9f7af74e1877aea19089fde7eeaca5da69495e4255d93098ef08beec74f1',
            '9a6d267de6f0fd3ba04abf36caee3e4629079adf473a7faefcec266d069751de',
            '6056c077ced64bf8356152224fdabc96e87ca7b4e6dd0128ca6c1b81d8ca6fa4',
        ],
        'reduce-reduced': [
            '4083b56f26435c1850ca06db7898c0aa3763bedd0b97d5f2a69ab56784a07c33',
            '312fa33e8fd92fff42f7cef50b5557277722b46d3c519c3b8b1f2639cc370e62',
            '1e5ff0b6cc2d985d2c82908be8be6eb87c2aa2316fc7b0c1621a7c4dff1ef1a0',
        ],
    },
    'rule-heavy-100k': {
        'reduce': [
            'f5dd350fd8d70d13b08639ffa9c311ae1b58146a8bb94bd2f4d2105b723a97bd',
            '19d10c21449d59518072f08f54ad58f1f689e9cab611c43938ecd99bce1559f2',
            'c0e472eccd5ec71928eabc717234d55e9a87a20e9dfe8647c45b4f631d10b3b9',
        ],
        'reduce-maximal': [
            '673fdaa24bd9dc56f17cde31947271b12372aa4708a3fc6cabe0c09d21b26fe4',
            'b645d9f3da36e2e78f963a8b30852f17b2247fb97ee4c41fd9564b77d2ef515d',
            '4e715127bfcb13112327fcbe812d20edecdc161e10e133d1bcd14e61151ab592',
        ],
        'finalize': [
            '01869d158fd327f7eb9b48cf3276d321b1347ff0696f258466ff19a25df1743c',
            '684293994ba068d06345445812bc1fcc8fd971b22a2822d3502255e65e579a59',
            '5ce2b45f920e236797e52b849e073524ad8174d04bae535873206e54464b4062',
        ],
        'finalize-maximal': [
            '001cafa0243344239c5f89788e50abcb1df8d75fb23d3d13bd2dc51a2c333a59',
            '56265771da756eb9a0981e240bb0d40bc9f22817e85a067601b1dd3cdab2fe4f',
            '2e7a6b346b86e598c7d5853ac31a46d132d09b5d296146b64ef3584162c8d4f6',
        ],
        'reduce-marked': [
            '02fb92ebf0a32e330be01fa2181e0c7212c765ef305408f41a9a1b6abcbadb21',
            '19d10c21449d59518072f08f54ad58f1f689e9cab611c43938ecd99bce1559f2',
            'c0e472eccd5ec71928eabc717234d55e9a87a20e9dfe8647c45b4f631d10b3b9',
        ],
        'finalize-marked': [
            '512fe403c9d6bbbd9d1ce029bc02d495f8766292281999330bdd80f63c9547bb',
            '684293994ba068d06345445812bc1fcc8fd971b22a2822d3502255e65e579a59',
            '5ce2b45f920e236797e52b849e073524ad8174d04bae535873206e54464b4062',
        ],
        'reduce-reduced': [
            'f5dd350fd8d70d13b08639ffa9c311ae1b58146a8bb94bd2f4d2105b723a97bd',
            '0a481212ac71b7f8d9de6291ae295bbf1decd1385cb22f8be1846fbe87faf471',
            '0c9e2808bdbdb84eb8cb8ebfd2d1a3729e02ac58ae35d3d8d6dca78e99c15a99',
        ],
    },
    'towers-12k': {
        'reduce': [
            'eaf3cf6402cad5568ff3c397371ae416c6e82869216460c025674a430006acc8',
            '95b43dd547e11c1cd21779176eb1abe0ccf0938c4c85dace98464eeba58d7dcf',
            'e5e064d72480d51859b619c1deaefba1c0ee2af65e4796600988026031dc9960',
        ],
        'reduce-maximal': [
            'b45bf5c5fa8f7245f28255d0f4e43af2d91d3371712ff4009c8af02c5f20d329',
            '94390e73456161b1029714de472ca90ce297dc1a19f566a482cdd2a2113317a4',
            '7c9021d7e8020fee563df05bb33f6737ed3504e95daf24a34728fe5c6f4cb656',
        ],
        'finalize': [
            'eaf3cf6402cad5568ff3c397371ae416c6e82869216460c025674a430006acc8',
            '65facf209a905a288fafd30955c87a7f3781a8fa491278dab3b02bcb09a89903',
            'e5e064d72480d51859b619c1deaefba1c0ee2af65e4796600988026031dc9960',
        ],
        'finalize-maximal': [
            'b45bf5c5fa8f7245f28255d0f4e43af2d91d3371712ff4009c8af02c5f20d329',
            'c9a15195681cced86f8ea3f905e86417aee3d54b5aab466d10ef4406ff11b823',
            '7c9021d7e8020fee563df05bb33f6737ed3504e95daf24a34728fe5c6f4cb656',
        ],
        'reduce-marked': [
            '27c18ce24bcbdb565c8b5fe43c5d9fe3716d9495797c379398ae281e9e608b87',
            '95b43dd547e11c1cd21779176eb1abe0ccf0938c4c85dace98464eeba58d7dcf',
            'e5e064d72480d51859b619c1deaefba1c0ee2af65e4796600988026031dc9960',
        ],
        'finalize-marked': [
            '27c18ce24bcbdb565c8b5fe43c5d9fe3716d9495797c379398ae281e9e608b87',
            '65facf209a905a288fafd30955c87a7f3781a8fa491278dab3b02bcb09a89903',
            'e5e064d72480d51859b619c1deaefba1c0ee2af65e4796600988026031dc9960',
        ],
        'reduce-reduced': [
            'eaf3cf6402cad5568ff3c397371ae416c6e82869216460c025674a430006acc8',
            '900d62644a3720cedfb31ae86a6d05de61ab78d2536b5c3f74c4ad945e62a926',
            'd0f973dc47a8d19318adc6e34ebb18fc5989f75f52bcce1c47aea57837723144',
        ],
    },
    'realistic-1M': {
        'reduce': [
            'f5fa62c2135c29a0af81897455b989dd96cefa22b98a80a65d4579479eef40b4',
            '06b3c0eb52c8da1b10da88a9571614495499ef79b10370f8be01218bdb5011f0',
            '6919248c979ab5072c3af66289e60fc89daa2abeb9256e5212e949321f291e63',
        ],
        'reduce-maximal': [
            'f3833c644378c9415224e115ecb68fe742064b0674602401ee66438a8b2cfed6',
            '0269489945998204dbb809f90f9329632e6ee984efc3125ab9fc826d0f0a3bab',
            '27554d2f3a5e287d0b24b41e1f2e3a25fc449441e78fb157d25b9331e90b81b4',
        ],
        'finalize': [
            'f5fa62c2135c29a0af81897455b989dd96cefa22b98a80a65d4579479eef40b4',
            '8d40da538c15bf66a4255bc72bff980dbea4a75694a49ef0f528d3c190655b21',
            'bce01bffd4b4c5991822752abf870addb65f2118edb605d123e44459a62da5ec',
        ],
    },
}
