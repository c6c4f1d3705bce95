[
    {
        "date": 1796700747,
        "sessionName": "h"
    },
    null,
    [
        {
            "enable": true,
            "name": "VolumeEffect",
            "parameters": {
                "volume": 100.0
            }
        }
    ]
]